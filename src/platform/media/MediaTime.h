#pragma once

#include <cmath>
#include <compare>
#include <cstdint>
#include <numeric>

namespace zimlo::media {

// A point or span on a media timeline: `value` ticks of 1/`timescale` seconds. A default-made
// time is invalid (it stands for "no time").
struct MediaTime {
    int64_t value = 0;
    int32_t timescale = 0;
    bool valid = false;

    static constexpr MediaTime make(int64_t value, int32_t timescale) {
        return MediaTime{value, timescale, timescale > 0};
    }
    static constexpr MediaTime zero() { return make(0, 1); }
    static constexpr MediaTime invalid() { return MediaTime{}; }
    // The nearest tick of `timescale` to `seconds` (halves away from zero).
    static MediaTime fromSeconds(double seconds, int32_t timescale) {
        return make(static_cast<int64_t>(std::llround(seconds * timescale)), timescale);
    }

    double seconds() const { return valid ? static_cast<double>(value) / timescale : NAN; }
    // The same instant on another timescale, rounded to the nearest tick.
    MediaTime convertedTo(int32_t newTimescale) const {
        if (!valid) return invalid();
        if (newTimescale == timescale) return *this;
        __int128 scaled = static_cast<__int128>(value) * newTimescale;
        __int128 half = timescale / 2;
        __int128 rounded = scaled >= 0 ? (scaled + half) / timescale : (scaled - half) / timescale;
        return make(static_cast<int64_t>(rounded), newTimescale);
    }

    friend MediaTime operator+(MediaTime a, MediaTime b) { return combine(a, b, 1); }
    friend MediaTime operator-(MediaTime a, MediaTime b) { return combine(a, b, -1); }

    // Invalid times order before valid ones; valid times compare by instant.
    friend std::strong_ordering operator<=>(const MediaTime& a, const MediaTime& b) {
        if (!a.valid || !b.valid) return a.valid <=> b.valid;
        __int128 left = static_cast<__int128>(a.value) * b.timescale;
        __int128 right = static_cast<__int128>(b.value) * a.timescale;
        return left <=> right;
    }
    friend bool operator==(const MediaTime& a, const MediaTime& b) {
        return (a <=> b) == std::strong_ordering::equal;
    }

  private:
    static MediaTime combine(MediaTime a, MediaTime b, int sign) {
        if (!a.valid || !b.valid) return invalid();
        if (a.timescale == b.timescale) return make(a.value + sign * b.value, a.timescale);
        int64_t common = std::lcm<int64_t>(a.timescale, b.timescale);
        if (common <= INT32_MAX) {
            auto scale = static_cast<int32_t>(common);
            return make(a.convertedTo(scale).value + sign * b.convertedTo(scale).value, scale);
        }
        // No exact common timescale fits: keep the finer of the two.
        int32_t scale = std::max(a.timescale, b.timescale);
        return make(a.convertedTo(scale).value + sign * b.convertedTo(scale).value, scale);
    }
};

struct TimeRange {
    MediaTime start;
    MediaTime duration;

    MediaTime end() const { return start + duration; }
    bool contains(MediaTime t) const { return t >= start && t < end(); }
    friend bool operator==(const TimeRange&, const TimeRange&) = default;
};

}  // namespace zimlo::media
