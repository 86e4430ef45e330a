// The zimlo-tool that scripts start: it lists drafts itself and hands every other command to the
// full tool. The full tool loads the media, Qt and X libraries (about 170 shared libraries, a
// tenth of a second before main), which a listing run over and over would pay each time.

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "CommandRegistry.h"
#include "DraftListing.h"

namespace {

namespace fs = std::filesystem;

// Beside this program in the build tree, under libexec once installed.
fs::path fullTool() {
    std::error_code error;
    const fs::path here = fs::read_symlink("/proc/self/exe", error).parent_path();
    fs::path beside = here / "zimlo-tool-full";
    if (!error && fs::exists(beside, error)) return beside;
    return here / ".." / ZIMLO_LIBEXEC_DIR / "zimlo" / "zimlo-tool-full";
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 2 && args[0] == "drafts" && args[1] == "list")
        return zimlo::tool::listDrafts({args.begin() + 1, args.end()});
    const fs::path full = fullTool();
    ::execv(full.c_str(), argv);
    return zimlo::tool::fail("cannot start " + full.string() + ": " + std::strerror(errno));
}
