#pragma once

#include <filesystem>
#include <string_view>

#include "platform/runtime/Result.h"
#include "platform/storage/FileError.h"

namespace zimlo {

// Replaces `file` with `contents` so that readers see either the old file or the whole new one:
// the data goes to a temporary file in the same directory, is flushed to disk, then renamed over
// `file`. On failure the temporary file is removed, `file` is left as it was, and the step, file
// and error code are returned.
Result<void, FileError> writeFileAtomically(const std::filesystem::path& file,
                                            std::string_view contents);

// Flushes a directory's entries (files created, renamed or removed in it) to the disk.
Result<void, FileError> syncDirectory(const std::filesystem::path& directory);

}  // namespace zimlo
