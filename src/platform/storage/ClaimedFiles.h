#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace zimlo {

// Names that belong together (the screen and camera movie of one recording) claimed at once in
// `directory`: each base + extension is created exclusively and empty, or, when any of them is
// taken (another recording started in the same second, here or in another process), all get
// the next free suffix "_2", "_3", … together. Nothing that exists is ever replaced.
struct ClaimedFiles {
    std::vector<std::filesystem::path> paths;  // one per base name, in order
    // False when the directory refused (unwritable, full): `paths` are then the plain names,
    // unclaimed, and whoever writes them reports why.
    bool claimed = false;
};

ClaimedFiles claimFiles(const std::filesystem::path& directory,
                        const std::vector<std::string>& bases, const std::string& extension);

}  // namespace zimlo
