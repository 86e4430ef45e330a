#pragma once

#include <filesystem>
#include <string>
#include <system_error>

namespace zimlo {

// Why writing or copying a file failed: the step, the file it failed on and the system's own
// error code (ENOSPC stays ENOSPC, so callers can tell a full disk apart).
struct FileError {
    std::string operation;
    std::filesystem::path path;
    std::error_code code;

    // "copying /a/b: No space left on device", for logs and technical messages.
    std::string text() const { return operation + " " + path.string() + ": " + code.message(); }

    friend bool operator==(const FileError&, const FileError&) = default;
};

}  // namespace zimlo
