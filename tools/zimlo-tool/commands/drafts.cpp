// zimlo-tool drafts: the draft store.

#include <cstdio>

#include "CommandRegistry.h"
#include "DraftListing.h"
#include "compose/RecordingRecovery.h"
#include "model/DraftStore.h"

namespace {

using zimlo::tool::fail;

// What the application does at its start: saves what killed recordings left as drafts.
int recover(const std::vector<std::string>& args) {
    if (args.size() != 1) return fail("usage: zimlo-tool drafts recover");
    auto store = zimlo::DraftStore::shared();
    const size_t swept = store->sweepInterruptedSaves();
    const auto report = zimlo::compose::recoverRecordings(*store);
    for (const auto& draft : report.recovered)
        std::printf("recovered\t%s\t%s\n", draft.id.uuidString().c_str(),
                    draft.mainVideo ? draft.mainVideo->displayString().c_str() : "-");
    std::printf("recovered %zu, kept %zu, removed %zu, interrupted saves cleared %zu\n",
                report.recovered.size(), report.kept, report.discarded, swept);
    return 0;
}

constexpr const char* kUsage = "usage: zimlo-tool drafts list [--root DIR] | drafts recover";

int run(const std::vector<std::string>& args) {
    if (!args.empty() && args[0] == "list") return zimlo::tool::listDrafts(args);
    if (!args.empty() && args[0] == "recover") return recover(args);
    return fail(kUsage);
}

zimlo::tool::RegisterCommandGroup group({
    "drafts",
    "  drafts list [--root DIR]          list drafts newest first: ID, createdAt, main, pip\n"
    "  drafts recover                    save what killed or crashed recordings left as drafts\n"
    "                                    (as Zimlo does when it starts): one line per draft\n",
    run,
});

}  // namespace
