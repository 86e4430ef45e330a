#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/runtime/ManualMainLoop.h"

namespace zimlo::tool {

// A command gets the words after its group name ("zimlo-tool project decode F" calls the
// "project" group with {"decode", "F"}) and returns the process exit code.
using CommandHandler = std::function<int(const std::vector<std::string>& args)>;

struct CommandGroup {
    std::string name;
    std::string usage;  // one or more lines shown by `zimlo-tool help`
    CommandHandler run;
};

std::map<std::string, CommandGroup>& commandGroups();

// Declared at namespace scope in a commands/*.cpp file to add its group.
struct RegisterCommandGroup {
    explicit RegisterCommandGroup(CommandGroup group);
};

// Prints "error: " + message on stderr and returns 1; for usage mistakes and failures alike.
int fail(const std::string& message);

// The whole of a regular file named on the command line, of at most `limit` bytes. A FIFO or a
// device is refused without being read; throws std::runtime_error naming the file and why.
std::string readInputFile(const std::string& path, size_t limit);

// The main loop installed as the main queue; commands pump it while they wait for completions.
ManualMainLoop& mainLoop();

}  // namespace zimlo::tool
