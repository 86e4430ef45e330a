#include "support/CommandOutput.h"

#include <cstdio>
#include <sstream>

namespace zimlo::test {

std::string commandOutput(const std::string& command, int& status) {
    std::string out;
    status = -1;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    status = ::pclose(pipe);
    return out;
}

std::string valueAfter(const std::string& text, const std::string& prefix) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
    return {};
}

}  // namespace zimlo::test
