#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "platform/runtime/Result.h"
#include "platform/storage/FileError.h"

namespace zimlo {

// The whole contents of a regular file of at most `limit` bytes. Never blocks and never reads
// without end: a FIFO, a socket or a device (/dev/zero) is refused without being read, and so is
// a file larger than `limit` or one that grows past it while being read. Links are followed.
// Errors keep the system's code: ENOENT for a missing file, EISDIR for a directory, EINVAL for
// another kind of file, EFBIG for one too large.
Result<std::string, FileError> readRegularFile(const std::filesystem::path& file, size_t limit);

}  // namespace zimlo
