#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/speech/ModelInstallError.h"

namespace zimlo::speech {

// How much an archive or folder may put on the disk. A real model is a few dozen files and at
// most a few hundred megabytes; a hostile archive unpacks gigabytes of zeros from megabytes, or
// a hundred thousand files. Whatever passes must also leave the disk with room to spare: the
// smaller of `keepFree` and `keepFreeFraction` of the file system.
struct UnpackLimits {
    std::uint64_t bytes = std::uint64_t{4} << 30;
    std::uint64_t entries = 10'000;
    std::uint64_t keepFree = std::uint64_t{1} << 30;
    double keepFreeFraction = 0.05;
};

// Unpacks an archive in any format and compression libarchive reads (tar.gz, tar.bz2, zip, ...)
// into `into`, an existing empty directory. The whole archive is refused at the first entry that
// could write outside `into`: an absolute name, a ".." component, a symbolic link that is
// absolute or climbs with "..", a hard link to such a name, a device or other special file; and
// as soon as it goes beyond `limits` (refused, or writeFailed when the disk runs short).
// Entries unpacked before a failure stay in `into` for the caller to remove.
ModelInstallResult<void> unpackModelArchive(const std::filesystem::path& archive,
                                            const std::filesystem::path& into,
                                            const UnpackLimits& limits = {});

// Copies a model folder into `into`, an existing empty directory: folders and regular files,
// links to files as the files they point at, within `limits` as above. Links to folders (which
// may loop) and special files are refused.
ModelInstallResult<void> copyModelFolder(const std::filesystem::path& folder,
                                         const std::filesystem::path& into,
                                         const UnpackLimits& limits = {});

}  // namespace zimlo::speech
