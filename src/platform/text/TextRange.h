#pragma once

#include <compare>
#include <cstdint>

namespace zimlo::text {

// A range of text in UTF-16 code units, so that it applies directly to styled text.
struct TextRange {
    int32_t location = 0;
    int32_t length = 0;

    int32_t end() const { return location + length; }
    // Ranges that only touch do not overlap.
    bool overlaps(const TextRange& other) const {
        return location < other.end() && other.location < end();
    }

    friend auto operator<=>(const TextRange&, const TextRange&) = default;
    friend bool operator==(const TextRange&, const TextRange&) = default;
};

}  // namespace zimlo::text
