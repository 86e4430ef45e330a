#include "platform/storage/BoundedJson.h"

#include <vector>

namespace zimlo {

namespace {

// Thrown from the parser's callback to stop it at once.
struct LimitExceeded {
    std::string reason;
};

}  // namespace

Result<nlohmann::ordered_json, std::string> parseBoundedJson(std::string_view text,
                                                             const JsonLimits& limits) {
    using Json = nlohmann::ordered_json;
    if (text.size() > limits.bytes) {
        return fail(limits.bytes >= (std::size_t{1} << 20) && limits.bytes % (1 << 20) == 0
                        ? "document larger than " + std::to_string(limits.bytes >> 20) + " MiB"
                        : "document larger than " + std::to_string(limits.bytes) + " bytes");
    }
    std::vector<std::size_t> keysPerObject;  // open containers; arrays count nothing
    std::size_t values = 0;
    auto check = [&](int depth, Json::parse_event_t event, Json&) {
        switch (event) {
            case Json::parse_event_t::object_start:
            case Json::parse_event_t::array_start:
                if (depth >= limits.nesting) {
                    throw LimitExceeded{"values nested deeper than " +
                                        std::to_string(limits.nesting) + " levels"};
                }
                keysPerObject.push_back(0);
                [[fallthrough]];
            case Json::parse_event_t::value:
                if (++values > limits.values)
                    throw LimitExceeded{"more than " + std::to_string(limits.values) + " values"};
                break;
            case Json::parse_event_t::key:
                if (!keysPerObject.empty() && ++keysPerObject.back() > limits.keysPerObject) {
                    throw LimitExceeded{"an object with more than " +
                                        std::to_string(limits.keysPerObject) + " keys"};
                }
                break;
            case Json::parse_event_t::object_end:
            case Json::parse_event_t::array_end:
                if (!keysPerObject.empty()) keysPerObject.pop_back();
                break;
        }
        return true;
    };
    try {
        return Json::parse(text.begin(), text.end(), check);
    } catch (const LimitExceeded& exceeded) {
        return fail(exceeded.reason);
    } catch (const nlohmann::json::exception& error) {
        // Syntax errors, and numbers beyond the range of a double.
        return fail(std::string("not a valid JSON document (") + error.what() + ")");
    }
}

}  // namespace zimlo
