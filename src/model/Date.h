#pragma once

#include <chrono>
#include <compare>

namespace zimlo {

// An instant, held as fractional seconds since 2001-01-01 00:00:00 UTC (the reference date).
// Kept as a double so that the stored form round-trips without loss.
struct Date {
    // Seconds from the Unix epoch (1970-01-01 UTC) to the reference date.
    static constexpr double kReferenceDateSince1970 = 978307200.0;

    double secondsSinceReferenceDate = 0;

    static Date now() {
        using namespace std::chrono;
        auto sinceEpoch = duration<double>(system_clock::now().time_since_epoch()).count();
        return Date{sinceEpoch - kReferenceDateSince1970};
    }
    static Date fromSecondsSince1970(double seconds) {
        return Date{seconds - kReferenceDateSince1970};
    }
    double secondsSince1970() const { return secondsSinceReferenceDate + kReferenceDateSince1970; }

    friend auto operator<=>(const Date&, const Date&) = default;
    friend bool operator==(const Date&, const Date&) = default;
};

}  // namespace zimlo
