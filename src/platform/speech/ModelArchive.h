#pragma once

#include <filesystem>

#include "platform/speech/ModelInstallError.h"

namespace zimlo::speech {

// Unpacks an archive in any format and compression libarchive reads (tar.gz, tar.bz2, zip, ...)
// into `into`, an existing empty directory. The whole archive is refused at the first entry that
// could write outside `into`: an absolute name, a ".." component, a symbolic link that is
// absolute or climbs with "..", a hard link to such a name, a device or other special file.
// Entries unpacked before a failure stay in `into` for the caller to remove.
ModelInstallResult<void> unpackModelArchive(const std::filesystem::path& archive,
                                            const std::filesystem::path& into);

// Copies a model folder into `into`, an existing empty directory: folders and regular files,
// links to files as the files they point at. Links to folders (which may loop) and special
// files are refused.
ModelInstallResult<void> copyModelFolder(const std::filesystem::path& folder,
                                         const std::filesystem::path& into);

}  // namespace zimlo::speech
