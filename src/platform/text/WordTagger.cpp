#include "platform/text/WordTagger.h"

#include <unicode/uchar.h>
#include <unicode/uscript.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/log/Log.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/Threads.h"
#include "platform/text/TaggerEngines.h"

namespace zimlo::text {

const char* lexicalClassName(LexicalClass value) {
    switch (value) {
        case LexicalClass::none:
            return "-";
        case LexicalClass::noun:
            return "Noun";
        case LexicalClass::verb:
            return "Verb";
        case LexicalClass::adjective:
            return "Adjective";
        case LexicalClass::adverb:
            return "Adverb";
        case LexicalClass::pronoun:
            return "Pronoun";
        case LexicalClass::determiner:
            return "Determiner";
        case LexicalClass::particle:
            return "Particle";
        case LexicalClass::preposition:
            return "Preposition";
        case LexicalClass::number:
            return "Number";
        case LexicalClass::conjunction:
            return "Conjunction";
        case LexicalClass::interjection:
            return "Interjection";
        case LexicalClass::classifier:
            return "Classifier";
        case LexicalClass::idiom:
            return "Idiom";
        case LexicalClass::otherWord:
            return "OtherWord";
    }
    return "-";
}

const char* nameTypeName(NameType value) {
    switch (value) {
        case NameType::none:
            return "-";
        case NameType::personalName:
            return "PersonalName";
        case NameType::placeName:
            return "PlaceName";
        case NameType::organizationName:
            return "OrganizationName";
    }
    return "-";
}

const char* languageName(Language value) {
    switch (value) {
        case Language::chinese:
            return "zh";
        case Language::english:
            return "en";
        case Language::undetermined:
            return "und";
    }
    return "und";
}

Language dominantLanguage(std::u16string_view text) {
    // Letters per script; the most frequent script decides. On a tie Han wins over every other
    // script and Latin over every script but Han, so only the largest count of the other
    // scripts matters.
    size_t han = 0, latin = 0;
    std::vector<std::pair<UScriptCode, size_t>> others;
    for (size_t i = 0; i < text.size();) {
        UChar32 c;
        U16_NEXT(text.data(), i, text.size(), c);
        // The common letters without property look-ups.
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            ++latin;
            continue;
        }
        if (c >= 0x4E00 && c <= 0x9FFF) {
            han += 2;
            continue;
        }
        if (c < 0x80 || !u_isalpha(c)) continue;
        UErrorCode status = U_ZERO_ERROR;
        UScriptCode script = uscript_getScript(c, &status);
        if (U_FAILURE(status) || script == USCRIPT_COMMON || script == USCRIPT_INHERITED) continue;
        if (script == USCRIPT_HAN) {
            han += 2;
        } else if (script == USCRIPT_LATIN) {
            ++latin;
        } else {
            auto found = std::find_if(others.begin(), others.end(),
                                      [&](const auto& other) { return other.first == script; });
            if (found == others.end())
                others.emplace_back(script, 1);
            else
                ++found->second;
        }
    }
    size_t other = 0;
    for (const auto& [script, count] : others) other = std::max(other, count);
    if (han > 0 && han >= latin && han >= other) return Language::chinese;
    if (latin > 0 && latin >= other) return Language::english;
    return Language::undetermined;
}

struct WordTagger::State {
    Paths paths;
    // guards: started, loaded, loader, chinese, english, chineseError, englishError, seconds,
    // fromCache
    mutable std::mutex mutex;
    std::condition_variable loadedChanged;
    bool started = false;
    bool loaded = false;
    std::thread loader;
    std::shared_ptr<const detail::ChineseEngine> chinese;
    std::shared_ptr<const detail::EnglishEngine> english;
    std::optional<DictionaryError> chineseError, englishError;
    double seconds = 0;
    bool fromCache = false;

    std::string cachePath() const {
        if (paths.cacheDirectory == "-") return {};
        std::string dir = paths.cacheDirectory;
        if (dir.empty()) {
            if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg == '/')
                dir = std::string(xdg) + "/zimlo";
            else if (const char* home = std::getenv("HOME"); home && *home)
                dir = std::string(home) + "/.cache/zimlo";
            else
                return {};
        }
        return dir + "/word-tagger.bin";
    }

    void load() {
        auto started = std::chrono::steady_clock::now();
        uint64_t signature =
            detail::TaggerBlob::sourceSignature(paths.jiebaDirectory, paths.wordnetDirectory);
        std::string cache = cachePath();
        std::shared_ptr<detail::TaggerBlob> blob;
        std::optional<DictionaryError> zhError, enError;
        bool cached = false;
        if (!cache.empty()) {
            blob = detail::TaggerBlob::mapFile(cache, signature);
            cached = blob != nullptr;
        }
        if (!blob) {
            auto built = detail::TaggerBlob::build(paths.jiebaDirectory, paths.wordnetDirectory);
            blob = built.blob;
            if (!built.chinese) zhError = built.chinese.error();
            if (!built.english) enError = built.english.error();
            // Only a complete block is kept, so that a missing dictionary is looked for again.
            if (!cache.empty() && built.chinese && built.english &&
                !blob->writeFile(cache, signature)) {
                ZIMLO_LOG_WARN("text") << "keeping the dictionaries in the cache " << cache
                                       << " failed; they are built again next time";
            }
        }
        // A cached block holds both languages; one that lacks a language is damaged.
        auto unavailable = [&](const char* what) {
            return DictionaryError{DictionaryError::Kind::unavailable, cache, what};
        };
        std::shared_ptr<const detail::ChineseEngine> zh;
        std::shared_ptr<const detail::EnglishEngine> en;
        if (blob->scalars().hasChinese)
            zh = std::make_shared<detail::ChineseEngine>(blob);
        else if (!zhError)
            zhError = unavailable("Chinese dictionary unavailable");
        if (blob->scalars().hasEnglish)
            en = std::make_shared<detail::EnglishEngine>(blob);
        else if (!enError)
            enError = unavailable("English dictionary unavailable");
        double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        {
            std::lock_guard lock(mutex);
            chinese = zh;
            english = en;
            chineseError = zhError;
            englishError = enError;
            seconds = elapsed;
            fromCache = cached;
            loaded = true;
        }
        loadedChanged.notify_all();
    }
};

WordTagger& WordTagger::shared() {
    // Lives until the process ends; its loader may still be running at exit.
    static WordTagger* tagger = new WordTagger(Paths{});
    return *tagger;
}

WordTagger::WordTagger(Paths paths) : state_(std::make_unique<State>()) {
    state_->paths = std::move(paths);
}

WordTagger::~WordTagger() {
    if (state_->loader.joinable()) state_->loader.join();
}

void WordTagger::preload() {
    std::lock_guard lock(state_->mutex);
    if (state_->started) return;
    state_->started = true;
    State* state = state_.get();
    state_->loader = startThread("text-dict", [state] { state->load(); });
}

bool WordTagger::waitUntilLoaded(std::chrono::milliseconds timeout) {
    preload();
    std::unique_lock lock(state_->mutex);
    return state_->loadedChanged.wait_for(lock, timeout, [&] { return state_->loaded; });
}

bool WordTagger::isLoaded() const {
    std::lock_guard lock(state_->mutex);
    return state_->loaded;
}

std::optional<DictionaryError> WordTagger::chineseError() const {
    std::lock_guard lock(state_->mutex);
    return state_->chineseError;
}

std::optional<DictionaryError> WordTagger::englishError() const {
    std::lock_guard lock(state_->mutex);
    return state_->englishError;
}

double WordTagger::loadSeconds() const {
    std::lock_guard lock(state_->mutex);
    return state_->seconds;
}

bool WordTagger::loadedFromCache() const {
    std::lock_guard lock(state_->mutex);
    return state_->fromCache;
}

std::optional<TaggedText> WordTagger::tagIfLoaded(std::u16string_view text, Language language) {
    std::shared_ptr<const detail::ChineseEngine> zh;
    std::shared_ptr<const detail::EnglishEngine> en;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->loaded) return std::nullopt;
        zh = state_->chinese;
        en = state_->english;
    }
    if (language == Language::chinese && zh) return zh->tag(text);
    if (language == Language::english && en) return en->tag(text);
    return std::nullopt;
}

std::optional<TaggedText> WordTagger::tag(std::u16string_view text, Language language) {
    if (language == Language::undetermined) return std::nullopt;
    if (!isLoaded()) {
        if (MainQueue::isMainThread()) {
            preload();  // never block the main thread on the dictionaries
            return std::nullopt;
        }
        waitUntilLoaded(std::chrono::hours(1));
    }
    return tagIfLoaded(text, language);
}

}  // namespace zimlo::text
