#pragma once

#include <filesystem>
#include <stdexcept>

namespace zimlo::speech {

// Why a model could not be installed. The message is meant for the user.
class ModelInstallError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Unpacks an archive in any format and compression libarchive reads (tar.gz, tar.bz2, zip, ...)
// into `into`, an existing empty directory. The whole archive is refused at the first entry that
// could write outside `into`: an absolute name, a ".." component, a symbolic link that is
// absolute or climbs with "..", a hard link to such a name, a device or other special file.
// Throws ModelInstallError; entries unpacked before the error stay in `into` for the caller
// to remove.
void unpackModelArchive(const std::filesystem::path& archive, const std::filesystem::path& into);

// Copies a model folder into `into`, an existing empty directory: folders and regular files,
// links to files as the files they point at. Links to folders (which may loop) and special
// files are refused with ModelInstallError.
void copyModelFolder(const std::filesystem::path& folder, const std::filesystem::path& into);

}  // namespace zimlo::speech
