// zimlo-tool drafts: the draft store.

#include <cstdio>
#include <nlohmann/json.hpp>

#include "CommandRegistry.h"
#include "model/DraftStore.h"

namespace {

using zimlo::tool::fail;

int list(const std::vector<std::string>& args) {
    std::filesystem::path root;
    if (args.size() == 1) {
        root = zimlo::DraftStore::defaultRoot();
    } else if (args.size() == 3 && args[1] == "--root") {
        root = args[2];
        // Listing should not create a mistyped directory.
        if (!std::filesystem::is_directory(root)) return fail("no such directory: " + args[2]);
    } else {
        return fail("usage: zimlo-tool drafts list [--root DIR]");
    }
    std::string out;
    for (const auto& draft : zimlo::DraftStore(root).loadDrafts()) {
        out += draft.id.uuidString();
        out += '\t';
        // The number as the document stores it.
        out += nlohmann::json(draft.createdAt.secondsSinceReferenceDate).dump();
        out += '\t';
        out += draft.mainVideoURL ? draft.mainVideoURL->string() : "-";
        out += '\t';
        out += draft.pipVideoURL ? draft.pipVideoURL->string() : "-";
        out += '\n';
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

int run(const std::vector<std::string>& args) {
    if (!args.empty() && args[0] == "list") return list(args);
    return fail("usage: zimlo-tool drafts list [--root DIR]");
}

zimlo::tool::RegisterCommandGroup group({
    "drafts",
    "  drafts list [--root DIR]          list drafts newest first: ID, createdAt, main, pip\n",
    run,
});

}  // namespace
