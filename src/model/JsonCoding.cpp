#include "model/JsonCoding.h"

#include <cmath>
#include <optional>
#include <vector>

#include "model/JsonDetail.h"
#include "model/PlainJsonReader.h"
#include "platform/storage/BoundedJson.h"

namespace zimlo {

namespace {
std::string describe(const std::string& keyPath, const std::string& problem) {
    return keyPath.empty() ? problem : keyPath + ": " + problem;
}
}  // namespace

DecodingError::DecodingError(std::string keyPath, const std::string& problem)
    : std::runtime_error(describe(keyPath, problem)), keyPath_(std::move(keyPath)) {}

namespace json_detail {

Json parseDocument(std::string_view text) {
    // Ordinary documents take the quick route; the bounded parser decides everything else.
    if (text.size() <= kMaximumDocumentBytes)
        if (auto plain = readPlainJson(text)) return std::move(*plain);
    auto parsed = parseBoundedJson(
        text, {kMaximumDocumentBytes, kMaximumNesting, kMaximumKeysPerObject, kMaximumValues});
    if (!parsed) throw DecodingError("", parsed.error());
    return std::move(parsed).value();
}

Json pointArray(Point point) { return Json::array({point.x, point.y}); }

Json sizeArray(Size size) { return Json::array({size.width, size.height}); }

namespace {

struct Found {
    std::string path;
    const Json* value;
};

// The first value (depth first, in document order) that `bad` picks, with its key path.
template <typename Predicate>
std::optional<Found> firstWhere(const Json& json, const std::string& path, Predicate bad) {
    if (bad(json)) return Found{path, &json};
    if (json.is_object()) {
        for (const auto& [key, value] : json.items())
            if (auto found = firstWhere(value, childPath(path, key.c_str()), bad)) return found;
    } else if (json.is_array()) {
        for (size_t i = 0; i < json.size(); ++i)
            if (auto found = firstWhere(json[i], indexPath(path, i), bad)) return found;
    }
    return std::nullopt;
}

}  // namespace

Result<std::string, EncodingError> encodeDocument(const Json& json) {
    const auto nonFinite = [](const Json& value) {
        return value.is_number_float() && !std::isfinite(value.get<double>());
    };
    if (auto found = firstWhere(json, "", nonFinite)) {
        return fail(EncodingError{found->path, "cannot encode a non-finite number (" +
                                                   std::to_string(found->value->get<double>()) +
                                                   ")"});
    }
    try {
        return json.dump();
    } catch (const Json::type_error& error) {
        // The library refuses text that is not UTF-8; the message names the value holding it.
        const auto notUTF8 = [](const Json& value) {
            if (!value.is_string()) return false;
            try {
                (void)value.dump();
                return false;
            } catch (const Json::type_error&) {
                return true;
            }
        };
        const auto found = firstWhere(json, "", notUTF8);
        return fail(EncodingError{
            found ? found->path : std::string(),
            std::string("cannot encode a string that is not UTF-8 (") + error.what() + ")"});
    }
}

const Json* member(const Json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) return nullptr;
    return &*found;
}

const Json& requireMember(const Json& object, const char* key, const std::string& path) {
    const Json* value = member(object, key);
    if (!value) throw DecodingError(childPath(path, key), "required key is missing");
    return *value;
}

namespace {
const char* typeName(const Json& json) {
    if (json.is_number()) return "a number";
    if (json.is_string()) return "a string";
    if (json.is_boolean()) return "a boolean";
    if (json.is_array()) return "an array";
    if (json.is_object()) return "an object";
    if (json.is_null()) return "null";
    return "another type";
}
[[noreturn]] void wrongType(const Json& json, const std::string& path, const char* expected) {
    throw DecodingError(path, std::string("expected ") + expected + ", found " + typeName(json));
}
}  // namespace

void expectObject(const Json& json, const std::string& path) {
    if (!json.is_object()) wrongType(json, path, "an object");
}

void expectArray(const Json& json, const std::string& path) {
    if (!json.is_array()) wrongType(json, path, "an array");
}

double readDouble(const Json& json, const std::string& path) {
    if (!json.is_number()) wrongType(json, path, "a number");
    double value = json.get<double>();
    // The parser turns numbers beyond the double range into infinity; no document can carry one.
    if (!std::isfinite(value)) throw DecodingError(path, "number out of range");
    return value;
}

bool readBool(const Json& json, const std::string& path) {
    if (!json.is_boolean()) wrongType(json, path, "a boolean");
    return json.get<bool>();
}

std::string readString(const Json& json, const std::string& path) {
    if (!json.is_string()) wrongType(json, path, "a string");
    return json.get<std::string>();
}

namespace {
std::pair<double, double> readPair(const Json& json, const std::string& path) {
    if (!json.is_array()) wrongType(json, path, "an array of two numbers");
    if (json.size() != 2)
        throw DecodingError(path, "expected an array of two numbers, found " +
                                      std::to_string(json.size()) + " elements");
    return {readDouble(json[0], path + "[0]"), readDouble(json[1], path + "[1]")};
}
}  // namespace

Point readPoint(const Json& json, const std::string& path) {
    auto [x, y] = readPair(json, path);
    return Point{x, y};
}

Size readSize(const Json& json, const std::string& path) {
    auto [width, height] = readPair(json, path);
    return Size{width, height};
}

Uuid readUuid(const Json& json, const std::string& path) {
    std::string text = readString(json, path);
    auto id = Uuid::parse(text);
    if (!id) throw DecodingError(path, "invalid UUID \"" + text + "\"");
    return *id;
}

}  // namespace json_detail
}  // namespace zimlo
