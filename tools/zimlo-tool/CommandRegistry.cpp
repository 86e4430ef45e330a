#include "CommandRegistry.h"

#include <iostream>
#include <stdexcept>

#include "platform/storage/BoundedFile.h"

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

std::string readInputFile(const std::string& path, size_t limit) {
    auto read = readRegularFile(path, limit);
    if (!read) {
        const FileError& error = read.error();
        std::string why = error.code == std::errc::file_too_large
                              ? "larger than " + std::to_string(limit) + " bytes"
                          : error.code == std::errc::invalid_argument ? "not a regular file"
                                                                      : error.code.message();
        throw std::runtime_error("cannot read " + path + ": " + why);
    }
    return std::move(read).value();
}

ManualMainLoop& mainLoop() {
    static auto loop = std::make_shared<ManualMainLoop>();
    return *loop;
}

}  // namespace zimlo::tool
