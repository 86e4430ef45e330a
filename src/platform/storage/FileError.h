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

    // The same failure as the standard library's exception, for callers that still throw.
    std::filesystem::filesystem_error exception() const { return {operation, path, code}; }

    friend bool operator==(const FileError&, const FileError&) = default;
};

}  // namespace zimlo
