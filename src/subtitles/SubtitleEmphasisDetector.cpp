#include "subtitles/SubtitleEmphasisDetector.h"

#include <unicode/uchar.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <map>
#include <unordered_set>

#include "platform/text/UnicodeText.h"
#include "platform/text/WordTagger.h"

namespace zimlo::SubtitleEmphasisDetector {

namespace {

using text::TextRange;

constexpr std::u16string_view kPattern =
    u"(?:[#@][\\p{L}\\p{N}_]+)|(?:\\d+(?:[.,]\\d+)?(?:%|[A-Za-z]+)?)|(?:[A-Za-z][A-Za-z0-9_-]{2,})";

const std::unordered_set<std::u16string_view>& stopWords() {
    static const std::unordered_set<std::u16string_view> words = {
        // Chinese
        u"一个", u"一些", u"这个", u"那个", u"这些", u"那些", u"我们", u"你们", u"他们", u"它们",
        u"就是", u"还是", u"可以", u"可能", u"然后", u"因为", u"所以", u"但是", u"如果", u"已经",
        u"正在", u"进行", u"需要", u"觉得", u"其实", u"比较", u"非常", u"特别", u"这里", u"那里",
        // English, compared in lower case
        u"a", u"an", u"and", u"are", u"as", u"at", u"be", u"but", u"by", u"for", u"from", u"has",
        u"have", u"he", u"her", u"his", u"i", u"if", u"in", u"is", u"it", u"its", u"me", u"my",
        u"of", u"on", u"or", u"our", u"she", u"so", u"that", u"the", u"their", u"them", u"they",
        u"this", u"to", u"was", u"we", u"were", u"will", u"with", u"you", u"your"};
    return words;
}

int partOfSpeechScore(text::LexicalClass c) {
    switch (c) {
        case text::LexicalClass::number:
            return 85;
        case text::LexicalClass::idiom:
            return 72;
        case text::LexicalClass::noun:
            return 58;
        case text::LexicalClass::adjective:
            return 48;
        case text::LexicalClass::verb:
            return 42;
        case text::LexicalClass::otherWord:
            return 28;
        default:
            return 0;
    }
}

char32_t firstScalar(std::u16string_view s) {
    size_t i = 0;
    UChar32 c;
    U16_NEXT(s.data(), i, s.size(), c);
    return char32_t(c);
}

}  // namespace

std::vector<TextRange> emphasisRanges(std::string_view text) {
    return emphasisRanges(text::toUtf16(text));
}

namespace {

// Candidates of a non-blank text whose character boundaries are given.
std::map<TextRange, int> scoredCandidates(std::u16string_view text,
                                          const std::vector<int32_t>& boundaries) {
    // Best score per range.
    std::map<TextRange, int> best;
    auto propose = [&](TextRange range, int score) {
        auto [it, inserted] = best.emplace(range, score);
        if (!inserted && score > it->second) it->second = score;
    };

    for (const TextRange& r : text::regexMatches(kPattern, text)) {
        std::u16string_view m = text.substr(size_t(r.location), size_t(r.length));
        int base;
        if (m[0] == u'#' || m[0] == u'@')
            base = 110;
        else if (text::containsDecimalDigit(m))
            base = 95;
        else if (r.location != 0 && u_isupper(UChar32(firstScalar(m))))
            base = 72;
        else
            base = 24;
        propose(r, base + std::min(r.length, 12));
    }

    text::Language language = text::dominantLanguage(text);
    if (auto tagged = text::WordTagger::shared().tag(text, language)) {
        const auto& stops = stopWords();
        for (const text::TaggedWord& word : tagged->words) {
            int score = partOfSpeechScore(word.lexicalClass);
            if (!score) continue;
            std::u16string_view w =
                text.substr(size_t(word.range.location), size_t(word.range.length));
            std::u16string key = text::lowercased(text::trimWhitespaceAndNewlines(w));
            if (key.empty() || stops.count(key) || !text::containsLetterOrDigit(key)) continue;
            propose(word.range,
                    score + int(std::min<size_t>(text::characterCount(text, boundaries, word.range),
                                                 8)));
        }
        for (const text::TaggedName& name : tagged->names) {
            if (name.type == text::NameType::none) continue;
            propose(name.range, 120 + std::min(name.range.length, 16));
        }
    }

    return best;
}

}  // namespace

std::vector<TextRange> emphasisRanges(std::u16string_view text) {
    if (text::trimWhitespaceAndNewlines(text).empty()) return {};
    const std::vector<int32_t> boundaries = text::characterBoundaries(text);
    return choose(scoredCandidates(text, boundaries), boundaries.size() - 1);
}

std::map<TextRange, int> candidates(std::u16string_view text) {
    if (text::trimWhitespaceAndNewlines(text).empty()) return {};
    return scoredCandidates(text, text::characterBoundaries(text));
}

std::vector<TextRange> choose(const std::map<TextRange, int>& candidates, size_t characterCount) {
    size_t n = characterCount;
    size_t limit = n < 11 ? 1 : n > 24 ? 3 : 2;

    std::vector<std::pair<TextRange, int>> ordered(candidates.begin(), candidates.end());
    std::sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) {
        if (a.second != b.second) return a.second > b.second;
        if (a.first.length != b.first.length) return a.first.length > b.first.length;
        return a.first.location < b.first.location;
    });
    std::vector<TextRange> taken;
    for (const auto& [range, score] : ordered) {
        if (taken.size() >= limit) break;
        bool overlaps = std::any_of(taken.begin(), taken.end(),
                                    [&](const TextRange& t) { return t.overlaps(range); });
        if (!overlaps) taken.push_back(range);
    }
    std::sort(taken.begin(), taken.end());
    return taken;
}

}  // namespace zimlo::SubtitleEmphasisDetector
