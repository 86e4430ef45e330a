#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/rbbi.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>

#include "platform/text/TaggerEngines.h"
#include "platform/text/UnicodeText.h"

namespace zimlo::text::detail {

namespace {

// Closed word classes WordNet does not cover (or covers only as rare nouns).
const std::unordered_map<std::string_view, LexicalClass>& closedClasses() {
    static const auto* table = [] {
        auto* t = new std::unordered_map<std::string_view, LexicalClass>;
        auto add = [&](LexicalClass c, std::initializer_list<std::string_view> words) {
            for (auto w : words) (*t)[w] = c;
        };
        add(LexicalClass::pronoun,
            {"i",          "me",        "my",       "mine",       "myself",     "you",
             "your",       "yours",     "yourself", "yourselves", "he",         "him",
             "his",        "himself",   "she",      "her",        "hers",       "herself",
             "it",         "its",       "itself",   "we",         "us",         "our",
             "ours",       "ourselves", "they",     "them",       "their",      "theirs",
             "themselves", "who",       "whom",     "whose",      "which",      "what",
             "whoever",    "whatever",  "everyone", "everybody",  "everything", "someone",
             "somebody",   "something", "anyone",   "anybody",    "anything",   "nobody",
             "nothing",    "none"});
        add(LexicalClass::determiner,
            {"a", "an", "the", "this", "that", "these", "those", "each", "every", "some", "any",
             "no", "all", "both", "either", "neither", "another", "such"});
        add(LexicalClass::preposition,
            {"of",      "in",      "on",      "at",    "by",      "for",     "from",   "with",
             "about",   "against", "between", "into",  "through", "during",  "before", "after",
             "above",   "below",   "to",      "under", "over",    "without", "within", "along",
             "across",  "behind",  "beyond",  "among", "around",  "near",    "upon",   "toward",
             "towards", "since",   "until",   "till",  "via",     "per",     "than",   "despite",
             "onto",    "amid",    "unto"});
        add(LexicalClass::conjunction,
            {"and", "or", "but", "nor", "yet", "because", "although", "though", "while", "whereas",
             "if", "unless", "whether", "so"});
        add(LexicalClass::verb,
            {"am",    "is",     "are", "was",   "were", "be",    "been", "being",
             "do",    "does",   "did", "have",  "has",  "had",   "will", "would",
             "shall", "should", "can", "could", "may",  "might", "must", "ought"});
        add(LexicalClass::adverb,
            {"not",   "very", "too",   "also",  "just", "only",  "then",   "there",
             "here",  "when", "where", "why",   "how",  "now",   "never",  "always",
             "often", "even", "still", "again", "ever", "quite", "rather", "really"});
        add(LexicalClass::particle, {"n't"});
        add(LexicalClass::interjection,
            {"oh", "ah", "wow", "hey", "hi", "ouch", "oops", "alas", "yes"});
        return t;
    }();
    return *table;
}

// WordNet's detachment rules, by part of speech (noun, verb, adjective; adverbs have none).
struct Detachment {
    std::string_view suffix, ending;
};
const std::array<std::vector<Detachment>, 4>& detachments() {
    static const std::array<std::vector<Detachment>, 4> rules = {
        std::vector<Detachment>{{"s", ""},
                                {"ses", "s"},
                                {"xes", "x"},
                                {"zes", "z"},
                                {"ches", "ch"},
                                {"shes", "sh"},
                                {"men", "man"},
                                {"ies", "y"}},
        std::vector<Detachment>{{"s", ""},
                                {"ies", "y"},
                                {"es", "e"},
                                {"es", ""},
                                {"ed", "e"},
                                {"ed", ""},
                                {"ing", "e"},
                                {"ing", ""}},
        std::vector<Detachment>{{"er", ""}, {"est", ""}, {"er", "e"}, {"est", "e"}},
        std::vector<Detachment>{},
    };
    return rules;
}

icu::BreakIterator* wordIterator() {
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> made(
            icu::BreakIterator::createWordInstance(icu::Locale("en", "US"), status));
        if (U_FAILURE(status)) made.reset();
        return made;
    }();
    return iterator.get();
}

bool startsUpper(std::u16string_view word) {
    if (word.empty()) return false;
    size_t i = 0;
    UChar32 c;
    U16_NEXT(word.data(), i, word.size(), c);
    return u_isupper(c) || u_istitle(c);
}

// Length of a trailing possessive "'s" / "’s" (or a bare apostrophe after s), 0 when none.
size_t possessiveLength(std::u16string_view word) {
    auto apostrophe = [](char16_t c) { return c == u'\'' || c == u'\u2019'; };
    if (word.size() > 2 && apostrophe(word[word.size() - 2]) &&
        (word.back() == u's' || word.back() == u'S'))
        return 2;
    if (word.size() > 2 && apostrophe(word.back()) && (word[word.size() - 2] == u's')) return 1;
    return 0;
}

}  // namespace

EnglishEngine::EnglishEngine(std::shared_ptr<const TaggerBlob> blob) : blob_(std::move(blob)) {
    pool_ = blob_->section<char>(kEnPool);
    lemmas_ = blob_->section<EnLemma>(kEnLemmas);
    exceptions_ = blob_->section<EnException>(kEnExceptions);
}

const EnLemma* EnglishEngine::lemma(std::string_view text) const {
    auto view = [&](const EnLemma& e) { return std::string_view(&pool_[e.offset], e.length); };
    const EnLemma* it =
        std::lower_bound(lemmas_.begin(), lemmas_.end(), text,
                         [&](const EnLemma& e, std::string_view t) { return view(e) < t; });
    if (it != lemmas_.end() && view(*it) == text) return it;
    return nullptr;
}

NameType EnglishEngine::nameOf(std::string_view key) const {
    const EnLemma* found = lemma(key);
    return found ? NameType(found->nameType) : NameType::none;
}

LexicalClass EnglishEngine::classify(std::u16string_view word) const {
    if (word.empty()) return LexicalClass::none;
    size_t i = 0;
    UChar32 first;
    U16_NEXT(word.data(), i, word.size(), first);
    if (u_isdigit(first)) return LexicalClass::number;

    std::string lower = toUtf8(lowercased(word.substr(0, word.size() - possessiveLength(word))));
    // Typographic apostrophes read as straight ones.
    for (size_t p; (p = lower.find("\u2019")) != std::string::npos;) lower.replace(p, 3, "'");

    const auto& closed = closedClasses();
    if (auto found = closed.find(lower); found != closed.end()) return found->second;
    if (size_t apostrophe = lower.find('\''); apostrophe != std::string::npos && apostrophe > 0) {
        // Contractions: "don't", "we'll", "it's" take the class of their first part.
        std::string head = lower.substr(0, apostrophe);
        if (head == "don" || head == "doesn" || head == "didn" || head == "won" || head == "can" ||
            head == "isn" || head == "aren" || head == "wasn" || head == "weren" ||
            head == "couldn" || head == "shouldn" || head == "wouldn" || head == "hasn" ||
            head == "haven" || head == "hadn" || head == "ain")
            return LexicalClass::verb;
        if (auto found = closed.find(head); found != closed.end()) return found->second;
    }

    // The part of speech whose senses are used most in WordNet's tagged corpus.
    int bestPos = -1;
    uint32_t bestCount = 0;
    uint16_t bestSenses = 0;
    for (int pos = 0; pos < 4; ++pos) {
        uint32_t count = 0;
        uint16_t senses = 0;
        bool found = false;
        auto consider = [&](std::string_view base) {
            const EnLemma* entry = lemma(base);
            if (!entry || entry->senses[pos] == 0) return;
            if (!found || entry->tagCount[pos] > count ||
                (entry->tagCount[pos] == count && entry->senses[pos] > senses)) {
                count = entry->tagCount[pos];
                senses = entry->senses[pos];
            }
            found = true;
        };
        consider(lower);
        auto view = [&](uint32_t offset, uint32_t length) {
            return std::string_view(&pool_[offset], length);
        };
        const EnException* e =
            std::lower_bound(exceptions_.begin(), exceptions_.end(), lower,
                             [&](const EnException& x, const std::string& t) {
                                 return view(x.inflectedOffset, x.inflectedLength) < t;
                             });
        for (; e != exceptions_.end() && view(e->inflectedOffset, e->inflectedLength) == lower; ++e)
            if (e->pos == pos) consider(view(e->baseOffset, e->baseLength));
        for (const auto& rule : detachments()[size_t(pos)]) {
            if (lower.size() > rule.suffix.size() && lower.ends_with(rule.suffix))
                consider(lower.substr(0, lower.size() - rule.suffix.size()) +
                         std::string(rule.ending));
        }
        if (found &&
            (bestPos < 0 || count > bestCount || (count == bestCount && senses > bestSenses))) {
            bestPos = pos;
            bestCount = count;
            bestSenses = senses;
        }
    }
    static constexpr LexicalClass kClasses[4] = {LexicalClass::noun, LexicalClass::verb,
                                                 LexicalClass::adjective, LexicalClass::adverb};
    if (bestPos >= 0) return kClasses[bestPos];
    if (startsUpper(word))
        return LexicalClass::noun;  // an unknown capitalised word is a proper noun
    return LexicalClass::otherWord;
}

TaggedText EnglishEngine::tag(std::u16string_view text) const {
    TaggedText result;
    icu::BreakIterator* it = wordIterator();
    if (!it) return result;
    icu::UnicodeString subject(false, reinterpret_cast<const UChar*>(text.data()),
                               int32_t(text.size()));
    it->setText(subject);

    std::vector<TextRange> tokens;
    int32_t start = it->first();
    for (int32_t end = it->next(); end != icu::BreakIterator::DONE; start = end, end = it->next()) {
        if (it->getRuleStatus() < UBRK_WORD_NONE_LIMIT) continue;  // spaces and punctuation
        TextRange range{start, end - start};
        tokens.push_back(range);
        std::u16string_view word = text.substr(size_t(start), size_t(end - start));
        LexicalClass c = classify(word);
        result.words.push_back({range, c, ""});
    }

    // Names: the longest run of up to five words, starting with a capital and separated by
    // single spaces or hyphens, that WordNet knows as a proper name.
    for (size_t i = 0; i < tokens.size();) {
        std::u16string_view head =
            text.substr(size_t(tokens[i].location), size_t(tokens[i].length));
        if (!startsUpper(head)) {
            ++i;
            continue;
        }
        size_t matched = 0;
        NameType type = NameType::none;
        int32_t matchedEnd = 0;
        size_t maxRun = 1;
        while (maxRun < 5 && i + maxRun < tokens.size()) {
            TextRange a = tokens[i + maxRun - 1], b = tokens[i + maxRun];
            std::u16string_view gap = text.substr(size_t(a.end()), size_t(b.location - a.end()));
            if (gap != u" " && gap != u"-") break;
            ++maxRun;
        }
        for (size_t run = maxRun; run >= 1 && !matched; --run) {
            std::u16string key;
            int32_t end = 0;
            for (size_t k = 0; k < run; ++k) {
                TextRange r = tokens[i + k];
                std::u16string_view word = text.substr(size_t(r.location), size_t(r.length));
                if (k + 1 == run) word.remove_suffix(possessiveLength(word));
                if (k > 0) key += text[size_t(r.location) - 1] == u'-' ? u'-' : u'_';
                key += word;
                end = r.location + int32_t(word.size());
            }
            std::u16string_view last = text.substr(size_t(tokens[i + run - 1].location), 1);
            if (run > 1 && !startsUpper(last)) continue;
            NameType found = nameOf(toUtf8(lowercased(key)));
            if (found != NameType::none) {
                matched = run;
                type = found;
                matchedEnd = end;
            }
        }
        if (matched) {
            result.names.push_back({{tokens[i].location, matchedEnd - tokens[i].location}, type});
            i += matched;
        } else {
            ++i;
        }
    }
    return result;
}

}  // namespace zimlo::text::detail
