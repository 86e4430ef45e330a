#pragma once

#include <string>

namespace zimlo::test {

// What a shell command printed on its standard output, with its exit status as pclose gives it
// (-1 when the command could not be started).
std::string commandOutput(const std::string& command, int& status);

// The text after `prefix` on the first line that starts with it ("" when no line does).
std::string valueAfter(const std::string& text, const std::string& prefix);

}  // namespace zimlo::test
