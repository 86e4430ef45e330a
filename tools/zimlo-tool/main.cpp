#include <iostream>
#include <memory>

#include "CommandRegistry.h"
#include "platform/i18n/Language.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/ManualMainLoop.h"
#include "platform/runtime/Threads.h"

namespace {

int printUsage(std::ostream& out) {
    out << "usage: zimlo-tool GROUP COMMAND [ARGS...]\n"
           "       zimlo-tool --version\n";
    for (const auto& [name, group] : zimlo::tool::commandGroups()) out << group.usage;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Asynchronous completions land on the main queue; commands pump it while they wait.
    zimlo::MainQueue::install(std::shared_ptr<zimlo::MainQueueBackend>(std::shared_ptr<void>(),
                                                                       &zimlo::tool::mainLoop()));

    // The errors the libraries describe come in the user's language, as in the application.
    zimlo::i18n::installLanguage(zimlo::i18n::chooseLanguage(zimlo::i18n::processEnvironment()));

    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && (args[0] == "--version" || args[0] == "version")) {
        std::cout << "zimlo-tool " << ZIMLO_VERSION << "\n";
        return 0;
    }
    if (args.empty() || args[0] == "help" || args[0] == "--help") {
        printUsage(args.empty() ? std::cerr : std::cout);
        return args.empty() ? 2 : 0;
    }
    auto& groups = zimlo::tool::commandGroups();
    auto found = groups.find(args[0]);
    if (found == groups.end()) {
        std::cerr << "error: unknown command group '" << args[0] << "'\n";
        printUsage(std::cerr);
        return 2;
    }
    int result = 0;
    try {
        result = found->second.run({args.begin() + 1, args.end()});
    } catch (const std::exception& error) {
        result = zimlo::tool::fail(error.what());
    }
    // A movie still being finished or a queue's last task must not meet the libraries taken
    // down.
    zimlo::finishLetGoThreads([] { zimlo::tool::mainLoop().runPending(); });
    return result;
}
