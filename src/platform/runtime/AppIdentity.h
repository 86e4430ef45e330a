#pragma once

#include <string>
#include <string_view>

namespace zimlo {

// Reverse-DNS identifier of the application; queue labels start with it.
inline constexpr std::string_view kApplicationIdentifier = "com.zimlo.recorder";

// Full label of a background queue: the application identifier followed by the suffix.
inline std::string queueLabel(std::string_view suffix) {
    return std::string(kApplicationIdentifier) + std::string(suffix);
}

}  // namespace zimlo
