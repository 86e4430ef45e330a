// zimlo-tool project: decode and inspect project documents.

#include <iostream>

#include "CommandRegistry.h"
#include "model/RecordingProject.h"

namespace {

using zimlo::RecordingProject;
using zimlo::tool::fail;

int run(const std::vector<std::string>& args) {
    if (args.size() != 2 || (args[0] != "decode" && args[0] != "needs-composition"))
        return fail("usage: zimlo-tool project decode|needs-composition FILE");
    const std::string text = zimlo::tool::readInputFile(args[1], zimlo::kMaximumDocumentBytes);
    RecordingProject project;
    try {
        project = RecordingProject::fromJSON(text);
    } catch (const zimlo::DecodingError& error) {
        return fail(error.what());
    }
    if (args[0] == "decode") {
        auto encoded = project.toJSON();
        if (!encoded) return fail("cannot encode " + args[1] + ": " + encoded.error().text());
        std::cout << *encoded << "\n";
    } else {
        std::cout << (project.needsComposition() ? "true" : "false") << "\n";
    }
    return 0;
}

zimlo::tool::RegisterCommandGroup group({
    "project",
    "  project decode FILE               decode a project document and print it re-encoded\n"
    "  project needs-composition FILE    print whether the project must be composed\n",
    run,
});

}  // namespace
