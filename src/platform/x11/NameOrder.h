#pragma once

#include <string_view>

namespace zimlo::x11 {

// Orders application names and window titles the way a file browser orders names: by the
// user's locale, case-insensitive, embedded numbers by value ("Doc 2" before "Doc 10").
// Negative, zero or positive like strcmp.
int compareNames(std::string_view a, std::string_view b);

}  // namespace zimlo::x11
