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

const std::unordered_set<std::u16string_view>& stopWords() {
    static const std::unordered_set<std::u16string_view> words = {
        // Chinese; not translated: words the detector skips, never shown
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

std::vector<TextRange> patternMatches(std::u16string_view text) {
    // The expression's three branches start with different characters, and none has anything
    // after its greedy runs that could make the engine backtrack: each is the longest run that
    // fits, and a position where none fits is passed by one code point, as the engine does.
    auto isDecimal = [](UChar32 c) {
        return (c >= '0' && c <= '9') || (c >= 0x80 && u_charType(c) == U_DECIMAL_DIGIT_NUMBER);
    };
    auto isLatin = [](UChar32 c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    const size_t n = text.size();
    // The end of the run of code points from `i` that `fits`.
    auto runEnd = [&](size_t i, auto fits) {
        while (i < n) {
            size_t next = i;
            UChar32 c;
            U16_NEXT(text.data(), next, n, c);
            if (!fits(c)) break;
            i = next;
        }
        return i;
    };
    std::vector<TextRange> out;
    for (size_t i = 0; i < n;) {
        size_t next = i;
        UChar32 c;
        U16_NEXT(text.data(), next, n, c);
        size_t end = i;
        if (c == '#' || c == '@') {
            // [#@][\p{L}\p{N}_]+
            const size_t run = runEnd(next, [](UChar32 d) {
                return d == '_' || (U_GET_GC_MASK(d) & (U_GC_L_MASK | U_GC_N_MASK)) != 0;
            });
            if (run > next) end = run;
        } else if (isDecimal(c)) {
            // \d+(?:[.,]\d+)?(?:%|[A-Za-z]+)?
            end = runEnd(next, isDecimal);
            if (end < n && (text[end] == '.' || text[end] == ',')) {
                const size_t fraction = runEnd(end + 1, isDecimal);
                if (fraction > end + 1) end = fraction;
            }
            if (end < n && text[end] == '%')
                ++end;
            else
                end = runEnd(end, isLatin);
        } else if (isLatin(c)) {
            // [A-Za-z][A-Za-z0-9_-]{2,}
            const size_t run = runEnd(next, [&](UChar32 d) {
                return isLatin(d) || (d >= '0' && d <= '9') || d == '_' || d == '-';
            });
            if (run - next >= 2) end = run;
        }
        if (end > i) {
            out.push_back({int32_t(i), int32_t(end - i)});
            i = end;
        } else {
            i = next;
        }
    }
    return out;
}

namespace {

using Scored = std::vector<std::pair<TextRange, int>>;

// Candidates of a non-blank text whose character boundaries are given, each range once. A
// subtitle has a few dozen at most, so a flat list searched in full beats a tree.
Scored scoredCandidates(std::u16string_view text, const std::vector<int32_t>& boundaries) {
    // Best score per range.
    Scored best;
    auto propose = [&](TextRange range, int score) {
        auto it = std::find_if(best.begin(), best.end(),
                               [&](const auto& candidate) { return candidate.first == range; });
        if (it == best.end())
            best.emplace_back(range, score);
        else if (score > it->second)
            it->second = score;
    };

    for (const TextRange& r : patternMatches(text)) {
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

// The choice among distinct candidates. The order below is total over distinct ranges, so the
// order they come in plays no part.
std::vector<TextRange> chooseAmong(Scored ordered, size_t characterCount) {
    size_t n = characterCount;
    size_t limit = n < 11 ? 1 : n > 24 ? 3 : 2;

    std::sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) {
        if (a.second != b.second) return a.second > b.second;
        if (a.first.length != b.first.length) return a.first.length > b.first.length;
        return a.first.location < b.first.location;
    });
    std::vector<TextRange> taken;
    for (const auto& candidate : ordered) {
        if (taken.size() >= limit) break;
        const TextRange& range = candidate.first;
        bool overlaps = std::any_of(taken.begin(), taken.end(),
                                    [&](const TextRange& t) { return t.overlaps(range); });
        if (!overlaps) taken.push_back(range);
    }
    std::sort(taken.begin(), taken.end());
    return taken;
}

}  // namespace

std::vector<TextRange> emphasisRanges(std::u16string_view text) {
    if (text::trimWhitespaceAndNewlines(text).empty()) return {};
    const std::vector<int32_t> boundaries = text::characterBoundaries(text);
    return chooseAmong(scoredCandidates(text, boundaries), boundaries.size() - 1);
}

std::map<TextRange, int> candidates(std::u16string_view text) {
    if (text::trimWhitespaceAndNewlines(text).empty()) return {};
    Scored scored = scoredCandidates(text, text::characterBoundaries(text));
    return std::map<TextRange, int>(scored.begin(), scored.end());
}

std::vector<TextRange> choose(const std::map<TextRange, int>& candidates, size_t characterCount) {
    return chooseAmong(Scored(candidates.begin(), candidates.end()), characterCount);
}

}  // namespace zimlo::SubtitleEmphasisDetector
