#include "platform/i18n/Language.h"

#include <QCoreApplication>
#include <QTranslator>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "platform/i18n/Translation.h"
#include "platform/log/Log.h"

namespace zimlo::i18n {
namespace {

// Where the build puts the English catalogue (compiled from resources/translations).
constexpr const char* kEnglishCatalogue = ":/i18n/zimlo_en.qm";

std::unique_ptr<QTranslator> activeTranslator;
Language activeLanguage = Language::chinese;

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::optional<Language> fromLocaleName(std::string_view name) {
    if (name.empty()) return std::nullopt;
    return startsWith(name, "zh") ? Language::chinese : Language::english;
}

// The catalogue itself rather than QCoreApplication::translate: programs without a
// QCoreApplication (zimlo-tool) translate too.
std::string catalogueLookup(const char* context, const char* source) {
    const QString translated =
        activeTranslator ? activeTranslator->translate(context, source) : QString();
    return translated.isEmpty() ? std::string(source) : translated.toStdString();
}

}  // namespace

Environment processEnvironment() {
    return [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        if (!value) return std::nullopt;
        return std::string(value);
    };
}

Language chooseLanguage(const Environment& environment) {
    if (const auto forced = environment("ZIMLO_LANGUAGE"); forced && !forced->empty()) {
        if (*forced == "zh") return Language::chinese;
        if (*forced == "en") return Language::english;
        ZIMLO_LOG_WARN("i18n") << "ZIMLO_LANGUAGE is '" << *forced
                               << "', not zh or en; the locale decides";
    }
    // GNU's LANGUAGE is a list of preferences; the first we have a catalogue for wins.
    if (const auto list = environment("LANGUAGE"); list && !list->empty()) {
        std::string_view rest = *list;
        while (!rest.empty()) {
            const size_t colon = rest.find(':');
            const std::string_view entry = rest.substr(0, colon);
            if (startsWith(entry, "zh")) return Language::chinese;
            if (startsWith(entry, "en")) return Language::english;
            rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        }
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (const auto value = environment(name)) {
            if (const auto language = fromLocaleName(*value)) return *language;
        }
    }
    return Language::english;
}

bool installLanguage(Language language) {
    installTextLookup(nullptr);
    if (activeTranslator) {
        if (QCoreApplication::instance())
            QCoreApplication::removeTranslator(activeTranslator.get());
        activeTranslator.reset();
    }
    activeLanguage = Language::chinese;
    if (language == Language::chinese) return true;  // the texts are written in Chinese

    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(QString::fromLatin1(kEnglishCatalogue))) {
        ZIMLO_LOG_ERROR("i18n") << "cannot load the English catalogue " << kEnglishCatalogue
                                << "; the interface stays Chinese";
        return false;
    }
    if (QCoreApplication::instance()) QCoreApplication::installTranslator(translator.get());
    activeTranslator = std::move(translator);
    installTextLookup(&catalogueLookup);
    activeLanguage = language;
    return true;
}

Language installedLanguage() { return activeLanguage; }

}  // namespace zimlo::i18n
