#include "CommandRegistry.h"

#include <iostream>

namespace zimlo::tool {

std::map<std::string, CommandGroup>& commandGroups() {
    static std::map<std::string, CommandGroup> groups;
    return groups;
}

RegisterCommandGroup::RegisterCommandGroup(CommandGroup group) {
    commandGroups()[group.name] = std::move(group);
}

int fail(const std::string& message) {
    std::cerr << "error: " << message << "\n";
    return 1;
}

ManualMainLoop& mainLoop() {
    static auto loop = std::make_shared<ManualMainLoop>();
    return *loop;
}

}  // namespace zimlo::tool
