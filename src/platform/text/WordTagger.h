#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text/DictionaryError.h"
#include "platform/text/TextRange.h"

namespace zimlo::text {

enum class Language { undetermined, chinese, english };

// Word classes a tagger can assign; words of no class the caller scores are still reported.
enum class LexicalClass {
    none,
    noun,
    verb,
    adjective,
    adverb,
    pronoun,
    determiner,
    particle,
    preposition,
    number,
    conjunction,
    interjection,
    classifier,
    idiom,
    otherWord,
};

enum class NameType { none, personalName, placeName, organizationName };

const char* lexicalClassName(LexicalClass value);  // "Noun", "OtherWord", ...
const char* nameTypeName(NameType value);          // "PersonalName", ... ; "-" for none
const char* languageName(Language value);          // "zh", "en", "und"

// One word of a tagged text. Punctuation and white space are never words.
struct TaggedWord {
    TextRange range;  // UTF-16 code units of the tagged text
    LexicalClass lexicalClass = LexicalClass::none;
    std::string tag;  // the dictionary's own tag ("nr", "n", ...) where there is one
};

// A name of one or more words ("New York" is one name).
struct TaggedName {
    TextRange range;
    NameType type = NameType::none;
};

struct TaggedText {
    std::vector<TaggedWord> words;
    std::vector<TaggedName> names;
};

// The language whose script has the most letters: Han for Chinese, Latin for English, none for
// any other script. A Han character counts as two letters (it carries about a word's worth).
Language dominantLanguage(std::u16string_view text);

// Dictionary-based word tagger: Chinese on the jieba dictionary and its HMM tables, English on
// ICU word breaks and WordNet. The dictionaries load once, on a background thread, into one
// compact block that is also kept as a binary cache ($XDG_CACHE_HOME/zimlo, else ~/.cache/zimlo)
// so that later processes only map it in.
class WordTagger {
  public:
    struct Paths {
        std::string jiebaDirectory = "/usr/lib/python3/dist-packages/jieba";
        std::string wordnetDirectory = "/usr/share/wordnet";
        std::string cacheDirectory;  // empty: the default above; "-": no cache
    };

    // The process-wide tagger on the system's dictionaries.
    static WordTagger& shared();

    explicit WordTagger(Paths paths);
    ~WordTagger();
    WordTagger(const WordTagger&) = delete;
    WordTagger& operator=(const WordTagger&) = delete;

    // Starts loading in the background unless it has started already.
    void preload();
    // Starts loading if needed and waits for it; false when `timeout` passed first.
    bool waitUntilLoaded(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    bool isLoaded() const;
    // Why a language is unavailable after loading (nothing when it loaded).
    std::optional<DictionaryError> chineseError() const;
    std::optional<DictionaryError> englishError() const;
    // Seconds the last load took and whether it came from the binary cache.
    double loadSeconds() const;
    bool loadedFromCache() const;

    // The words of `text` in `language` with their lexical classes, and its names. Nothing
    // when the language is undetermined or its dictionary is unavailable. When the
    // dictionaries are not loaded yet, a call on the main thread starts loading and returns
    // nothing; a call from any other thread waits.
    std::optional<TaggedText> tag(std::u16string_view text, Language language);

    // Same as tag() but returns nothing at once unless the dictionaries are loaded.
    std::optional<TaggedText> tagIfLoaded(std::u16string_view text, Language language);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace zimlo::text
