#pragma once

#include <filesystem>
#include <ostream>
#include <string>

#include "platform/runtime/Result.h"

namespace zimlo::speech {

// Why a model could not be installed: what went wrong, the file or folder it went wrong on, and a
// sentence naming both as the user gave them (the model tool prints it as it is).
struct ModelInstallError {
    enum class Kind {
        noSource,     // the source is missing, or neither a folder nor a file
        noFolder,     // no folder to install into, or it cannot be created
        unreadable,   // the source cannot be read as an archive or a folder
        damaged,      // the archive breaks off or is corrupt part-way
        refused,      // an entry would be written outside the model folder, or is a special file
        writeFailed,  // unpacking, copying or moving into place failed (a full disk, ...)
        notAModel,    // parts of a model are missing, or its dictionary is cut short
        doesNotLoad,  // the trial load failed
        busy,         // another installation into the same folder is running
    };
    Kind kind = Kind::unreadable;
    std::filesystem::path path;
    std::string message;

    friend bool operator==(const ModelInstallError&, const ModelInstallError&) = default;
};

inline std::ostream& operator<<(std::ostream& out, const ModelInstallError& error) {
    return out << error.message;
}

template <typename T>
using ModelInstallResult = Result<T, ModelInstallError>;

}  // namespace zimlo::speech
