#include "DraftListing.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "CommandRegistry.h"
#include "model/DraftStore.h"

namespace zimlo::tool {

int listDrafts(const std::vector<std::string>& args) {
    std::filesystem::path root;
    if (args.size() == 1) {
        root = DraftStore::defaultRoot();
    } else if (args.size() == 3 && args[1] == "--root") {
        root = args[2];
        // Listing should not create a mistyped directory.
        if (!std::filesystem::is_directory(root)) return fail("no such directory: " + args[2]);
    } else {
        return fail("usage: zimlo-tool drafts list [--root DIR]");
    }
    std::string out;
    for (const auto& draft : DraftStore(root).loadDrafts()) {
        out += draft.id.uuidString();
        out += '\t';
        // The number as the document stores it.
        out += nlohmann::json(draft.createdAt.secondsSinceReferenceDate).dump();
        out += '\t';
        out += draft.mainVideo ? draft.mainVideo->displayString() : "-";
        out += '\t';
        out += draft.pipVideo ? draft.pipVideo->displayString() : "-";
        out += '\n';
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

}  // namespace zimlo::tool
