#pragma once

#include <filesystem>

#include "platform/runtime/Result.h"
#include "platform/storage/FileError.h"

namespace zimlo {

// Copies the contents of `source` into a new file `destination` (which must not exist yet), in
// the kernel where it can, and flushes the copy to the disk before returning, so that the source
// may be deleted then. On failure the partial destination is removed and the error carries the
// system's own error code (ENOSPC for a full disk, not the generic input/output error
// std::filesystem::copy_file reports).
Result<void, FileError> copyFileContents(const std::filesystem::path& source,
                                         const std::filesystem::path& destination);

}  // namespace zimlo
