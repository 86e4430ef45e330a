#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "platform/runtime/Result.h"

namespace zimlo {

// Limits on a JSON text read from disk. The parser checks them while it reads, so a hostile
// text (a million nested arrays, an object with a million keys) is refused in milliseconds
// instead of exhausting the stack or the memory of whatever walks the result.
struct JsonLimits {
    std::size_t bytes = 0;
    int nesting = 0;  // containers inside containers
    std::size_t keysPerObject = 0;
    std::size_t values = 0;  // every value, containers included
};

// The parsed text, or why not: a syntax error or the limit it exceeds.
Result<nlohmann::ordered_json, std::string> parseBoundedJson(std::string_view text,
                                                             const JsonLimits& limits);

}  // namespace zimlo
