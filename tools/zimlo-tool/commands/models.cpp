// zimlo-tool models install SOURCE --language zh-CN|en-US
// zimlo-tool models list
//
// Puts a PocketSphinx model (an archive or a folder) into the user's model folder after checking
// that it loads, and shows which models each language would use.
#include <cstdio>
#include <iostream>

#include "CommandRegistry.h"
#include "platform/speech/ModelInstaller.h"
#include "platform/speech/SpeechModel.h"
#include "subtitles/LiveSpeechRecognizer.h"

namespace zimlo::tool {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage =
    "usage: zimlo-tool models install ARCHIVE-OR-FOLDER --language zh-CN|en-US\n"
    "       zimlo-tool models list";

std::string sizeText(std::uintmax_t bytes) {
    char text[32];
    if (bytes >= 1000 * 1000)
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    else
        std::snprintf(text, sizeof text, "%.1f kB", static_cast<double>(bytes) / 1e3);
    return text;
}

void printParts(const speech::ModelPaths& paths, const fs::path& base) {
    auto shown = [&](const fs::path& path) {
        fs::path relative = path.lexically_relative(base);
        return (relative.empty() || *relative.begin() == ".." ? path : relative).string();
    };
    std::cout << "\tacoustic model\t" << shown(paths.acousticModel) << "\n"
              << "\tdictionary\t" << shown(paths.dictionary) << "\n"
              << "\tlanguage model\t" << shown(paths.languageModel) << "\n";
}

int install(const std::vector<std::string>& args) {
    std::string source;
    std::optional<Language> language;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--language") {
            if (i + 1 >= args.size()) return fail("--language needs zh-CN or en-US");
            language = languageFromRawValue(args[++i]);
            if (!language) return fail("unknown language '" + args[i] + "' (zh-CN or en-US)");
        } else if (source.empty() && args[i].rfind("--", 0) != 0) {
            source = args[i];
        } else {
            return fail("unexpected argument '" + args[i] + "'\n" + kUsage);
        }
    }
    if (source.empty() || !language) return fail(kUsage);
    const std::string locale(rawValue(*language));
    const fs::path destination = speech::userModelDirectory(locale);
    if (destination.empty()) return fail("neither XDG_DATA_HOME nor HOME says where to install");

    auto installed = speech::installModel(source, destination, [](const std::string& step) {
        std::cerr << "models: " << step << "\n";
    });
    if (!installed) return fail(installed.error().message);
    std::cout << "installed the " << locale << " speech model in " << installed->directory.string()
              << (installed->replacedPrevious ? " (replacing the model that was there)" : "")
              << "\n";
    printParts(installed->paths, installed->directory);
    std::printf("\t%ju files, %s; loaded in %.1f s\n", installed->files,
                sizeText(installed->bytes).c_str(), installed->loadSeconds);
    return 0;
}

int list() {
    for (Language language : {Language::chinese, Language::english}) {
        const std::string locale(rawValue(language));
        auto models = speech::findModels(locale);
        if (models.empty()) {
            std::cout << locale << "\tnone\tlooked in:";
            for (const auto& dir : speech::modelSearchDirectories(locale))
                std::cout << " " << dir.string();
            std::cout << "\n\tinstall one with: zimlo-tool models install ARCHIVE --language "
                      << locale << "\n";
            continue;
        }
        for (size_t i = 0; i < models.size(); ++i) {
            std::cout << locale << "\t" << (i == 0 ? "in use" : "not used") << "\t"
                      << models[i].directory.string() << "\n";
            printParts(models[i].paths, models[i].directory);
        }
    }
    return 0;
}

int run(const std::vector<std::string>& args) {
    if (!args.empty() && args[0] == "install") return install({args.begin() + 1, args.end()});
    if (args.size() == 1 && args[0] == "list") return list();
    return fail(kUsage);
}

const RegisterCommandGroup registration{CommandGroup{
    "models",
    "  models install ARCHIVE-OR-FOLDER --language zh-CN|en-US\n"
    "                                 check a speech model, load it once and install it in the\n"
    "                                 user's model folder; prints what it installed\n"
    "  models list                    speech models of each language and which one is used\n",
    run,
}};

}  // namespace
}  // namespace zimlo::tool
