#pragma once

// Helpers shared by the JSON coders of the model types. Not for use outside the model.

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "model/Geometry.h"
#include "model/JsonCoding.h"
#include "model/Uuid.h"
#include "platform/runtime/Result.h"

namespace zimlo::json_detail {

using Json = nlohmann::ordered_json;

inline std::string childPath(const std::string& path, const char* key) {
    return path.empty() ? std::string(key) : path + "." + key;
}
inline std::string indexPath(const std::string& path, size_t index) {
    return path + "[" + std::to_string(index) + "]";
}

// Limits on a document read from disk besides its size (kMaximumDocumentBytes), far above
// anything the recorder writes (four levels deep, at most fifteen keys per object) and low
// enough that a hostile file is refused in milliseconds.
inline constexpr int kMaximumNesting = 64;
inline constexpr size_t kMaximumKeysPerObject = 1024;  // an object's key lookup is linear
inline constexpr size_t kMaximumValues = 4'000'000;

// Parses `text` within the limits above; DecodingError (empty key path) names the limit or the
// syntax error.
Json parseDocument(std::string_view text);

// Encoding. Values go in as they are; encodeDocument refuses what JSON cannot hold, naming its
// key path.
Json pointArray(Point point);
Json sizeArray(Size size);
Result<std::string, EncodingError> encodeDocument(const Json& json);

// Decoding. `member` gives nothing for a missing key or a null value (both count as absent).
const Json* member(const Json& object, const char* key);
const Json& requireMember(const Json& object, const char* key, const std::string& path);
void expectObject(const Json& json, const std::string& path);
void expectArray(const Json& json, const std::string& path);
double readDouble(const Json& json, const std::string& path);
bool readBool(const Json& json, const std::string& path);
std::string readString(const Json& json, const std::string& path);
Point readPoint(const Json& json, const std::string& path);
Size readSize(const Json& json, const std::string& path);
Uuid readUuid(const Json& json, const std::string& path);

}  // namespace zimlo::json_detail
