#include "platform/text/UnicodeText.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

namespace zimlo::text {

namespace {

constexpr char32_t kNoScalar = 0xFFFFFFFF;

// Character break iterators are costly to create: one per thread, reused.
icu::BreakIterator* characterIterator() {
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> made(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status)) made.reset();
        return made;
    }();
    return iterator.get();
}

// Boundaries (UTF-16 offsets, first 0, last the length) of the user-perceived characters.
std::vector<int32_t> characterBoundaries(const icu::UnicodeString& text) {
    std::vector<int32_t> bounds{0};
    icu::BreakIterator* it = characterIterator();
    if (!it) {  // no break data: fall back to code points
        for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
            if (i > 0) bounds.push_back(i);
        }
        if (text.length() > 0) bounds.push_back(text.length());
        return bounds;
    }
    it->setText(text);
    it->first();
    for (int32_t p = it->next(); p != icu::BreakIterator::DONE; p = it->next()) bounds.push_back(p);
    return bounds;
}

icu::UnicodeString fromUtf8(std::string_view text) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), int32_t(text.size())));
}

icu::UnicodeString alias(std::u16string_view text) {
    // Read-only alias: no copy.
    return icu::UnicodeString(false, reinterpret_cast<const UChar*>(text.data()),
                              int32_t(text.size()));
}

std::string utf8Of(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

template <typename Pred>
std::pair<int32_t, int32_t> trimBounds(const icu::UnicodeString& text, Pred drop) {
    int32_t start = 0, end = text.length();
    while (start < end) {
        UChar32 c = text.char32At(start);
        if (!drop(char32_t(c))) break;
        start += U16_LENGTH(c);
    }
    while (end > start) {
        int32_t before = text.moveIndex32(end, -1);
        if (!drop(char32_t(text.char32At(before)))) break;
        end = before;
    }
    return {start, end};
}

}  // namespace

std::u16string toUtf16(std::string_view utf8) {
    icu::UnicodeString s = fromUtf8(utf8);
    return std::u16string(reinterpret_cast<const char16_t*>(s.getBuffer()), size_t(s.length()));
}

std::string toUtf8(std::u16string_view utf16) { return utf8Of(alias(utf16)); }

namespace {

// A code unit that is a whole code point of grapheme break class Other: such characters join
// nothing, so a text made of them alone breaks at every unit. Printable ASCII and the unified
// Han block are checked without a property look-up.
bool standsAlone(char16_t c) {
    if (c >= 0x20 && c < 0x7F) return true;
    if (c >= 0x4E00 && c <= 0x9FFF) return true;
    if (c < 0x20 || U16_IS_SURROGATE(c)) return false;
    return u_getIntPropertyValue(c, UCHAR_GRAPHEME_CLUSTER_BREAK) == U_GCB_OTHER;
}

}  // namespace

std::vector<int32_t> characterBoundaries(std::u16string_view text) {
    if (text.empty()) return {0};
    if (std::all_of(text.begin(), text.end(), standsAlone)) {
        std::vector<int32_t> bounds(text.size() + 1);
        for (size_t i = 0; i < bounds.size(); ++i) bounds[i] = int32_t(i);
        return bounds;
    }
    return characterBoundaries(alias(text));
}

size_t characterCount(std::u16string_view text, const std::vector<int32_t>& boundaries,
                      TextRange range) {
    auto from = std::lower_bound(boundaries.begin(), boundaries.end(), range.location);
    auto to = std::lower_bound(boundaries.begin(), boundaries.end(), range.end());
    if (from != boundaries.end() && *from == range.location && to != boundaries.end() &&
        *to == range.end())
        return size_t(to - from);
    if (range.location < 0 || range.length < 0 || size_t(range.end()) > text.size()) return 0;
    return characterCount(text.substr(size_t(range.location), size_t(range.length)));
}

size_t characterCount(std::string_view text) {
    if (text.empty()) return 0;
    return characterBoundaries(fromUtf8(text)).size() - 1;
}

size_t characterCount(std::u16string_view text) {
    if (text.empty()) return 0;
    return characterBoundaries(alias(text)).size() - 1;
}

std::vector<std::string> characters(std::string_view text) {
    std::vector<std::string> out;
    if (text.empty()) return out;
    icu::UnicodeString s = fromUtf8(text);
    std::vector<int32_t> bounds = characterBoundaries(s);
    for (size_t i = 0; i + 1 < bounds.size(); ++i) {
        out.push_back(utf8Of(icu::UnicodeString(s, bounds[i], bounds[i + 1] - bounds[i])));
    }
    return out;
}

std::string lastCharacters(std::string_view text, size_t count) {
    icu::UnicodeString s = fromUtf8(text);
    std::vector<int32_t> bounds = characterBoundaries(s);
    size_t total = bounds.size() - 1;
    if (count >= total) return utf8Of(s);
    int32_t from = bounds[total - count];
    return utf8Of(icu::UnicodeString(s, from));
}

bool isSpaceOrTab(char32_t c) { return c == U'\t' || u_charType(UChar32(c)) == U_SPACE_SEPARATOR; }

bool isWhitespaceOrNewline(char32_t c) {
    if ((c >= 0x09 && c <= 0x0D) || c == 0x85) return true;
    int8_t type = u_charType(UChar32(c));
    return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

std::string trimSpacesAndTabs(std::string_view text) {
    icu::UnicodeString s = fromUtf8(text);
    auto [start, end] = trimBounds(s, isSpaceOrTab);
    return utf8Of(icu::UnicodeString(s, start, end - start));
}

std::string trimWhitespaceAndNewlines(std::string_view text) {
    icu::UnicodeString s = fromUtf8(text);
    auto [start, end] = trimBounds(s, isWhitespaceOrNewline);
    return utf8Of(icu::UnicodeString(s, start, end - start));
}

std::u16string trimWhitespaceAndNewlines(std::u16string_view text) {
    size_t start = 0, end = text.size();
    while (start < end) {
        size_t next = start;
        UChar32 c;
        U16_NEXT(text.data(), next, end, c);
        if (!isWhitespaceOrNewline(char32_t(c))) break;
        start = next;
    }
    while (end > start) {
        size_t before = end;
        UChar32 c;
        U16_PREV(text.data(), start, before, c);
        if (!isWhitespaceOrNewline(char32_t(c))) break;
        end = before;
    }
    return std::u16string(text.substr(start, end - start));
}

char32_t singleScalar(std::string_view text) {
    if (text.empty()) return kNoScalar;
    int32_t i = 0;
    UChar32 c;
    U8_NEXT_OR_FFFD(reinterpret_cast<const uint8_t*>(text.data()), i, int32_t(text.size()), c);
    return size_t(i) == text.size() ? char32_t(c) : kNoScalar;
}

char32_t firstScalar(std::string_view text) {
    if (text.empty()) return kNoScalar;
    int32_t i = 0;
    UChar32 c;
    U8_NEXT_OR_FFFD(reinterpret_cast<const uint8_t*>(text.data()), i, int32_t(text.size()), c);
    return char32_t(c);
}

char32_t lastScalar(std::string_view text) {
    if (text.empty()) return kNoScalar;
    int32_t i = int32_t(text.size());
    UChar32 c;
    U8_PREV_OR_FFFD(reinterpret_cast<const uint8_t*>(text.data()), 0, i, c);
    return char32_t(c);
}

std::string firstCharacter(std::string_view text) {
    if (text.empty()) return {};
    icu::UnicodeString s = fromUtf8(text);
    std::vector<int32_t> bounds = characterBoundaries(s);
    return utf8Of(icu::UnicodeString(s, 0, bounds[1]));
}

std::string lastCharacter(std::string_view text) {
    if (text.empty()) return {};
    icu::UnicodeString s = fromUtf8(text);
    std::vector<int32_t> bounds = characterBoundaries(s);
    return utf8Of(icu::UnicodeString(s, bounds[bounds.size() - 2]));
}

std::u16string lowercased(std::u16string_view text) {
    // Common cases without ICU: ASCII, and Han text that has no case.
    bool ascii = true, caseless = true;
    for (char16_t c : text) {
        if (c >= 0x80) ascii = false;
        if (!(c >= 0x3400 && c <= 0x9FFF) && !(c >= 0x3000 && c <= 0x303F) &&
            !(c >= 0xFF00 && c <= 0xFF0F))
            caseless = false;
    }
    if (ascii) {
        std::u16string out(text);
        for (char16_t& c : out)
            if (c >= u'A' && c <= u'Z') c = char16_t(c + 32);
        return out;
    }
    if (caseless) return std::u16string(text);
    icu::UnicodeString s(reinterpret_cast<const UChar*>(text.data()), int32_t(text.size()));
    s.toLower(icu::Locale::getRoot());
    return std::u16string(reinterpret_cast<const char16_t*>(s.getBuffer()), size_t(s.length()));
}

bool containsLetterOrDigit(std::u16string_view text) {
    for (size_t i = 0; i < text.size();) {
        UChar32 c;
        U16_NEXT(text.data(), i, text.size(), c);
        if (u_isalpha(c) || (U_GET_GC_MASK(c) & U_GC_N_MASK)) return true;
    }
    return false;
}

bool containsDecimalDigit(std::u16string_view text) {
    for (size_t i = 0; i < text.size();) {
        UChar32 c;
        U16_NEXT(text.data(), i, text.size(), c);
        if (u_charType(c) == U_DECIMAL_DIGIT_NUMBER) return true;
    }
    return false;
}

std::string substring(std::u16string_view text, TextRange range) {
    if (range.location < 0 || range.length < 0 || size_t(range.end()) > text.size()) return {};
    return toUtf8(text.substr(size_t(range.location), size_t(range.length)));
}

std::vector<TextRange> regexMatches(std::u16string_view pattern, std::u16string_view text) {
    // Compiled patterns are immutable and shareable; matchers are made per call.
    static std::mutex mutex;  // guards: compiled
    static std::map<std::u16string, std::shared_ptr<const icu::RegexPattern>, std::less<>> compiled;
    std::shared_ptr<const icu::RegexPattern> regex;
    {
        std::lock_guard lock(mutex);
        auto found = compiled.find(pattern);
        if (found == compiled.end()) {
            UErrorCode status = U_ZERO_ERROR;
            UParseError parseError;
            std::shared_ptr<const icu::RegexPattern> made(
                icu::RegexPattern::compile(alias(pattern), 0, parseError, status));
            if (U_FAILURE(status)) made.reset();
            found = compiled.emplace(std::u16string(pattern), std::move(made)).first;
        }
        regex = found->second;
    }
    std::vector<TextRange> out;
    if (!regex) return out;
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString subject = alias(text);
    // A matcher per thread for the last pattern used, reset onto each text.
    thread_local std::shared_ptr<const icu::RegexPattern> matcherPattern;
    thread_local std::unique_ptr<icu::RegexMatcher> matcher;
    if (matcherPattern != regex || !matcher) {
        matcher.reset(regex->matcher(status));
        matcherPattern = matcher ? regex : nullptr;
        if (U_FAILURE(status) || !matcher) {
            matcher.reset();
            return out;
        }
    }
    matcher->reset(subject);
    while (matcher->find(status) && U_SUCCESS(status)) {
        int32_t start = matcher->start(status);
        int32_t end = matcher->end(status);
        if (U_FAILURE(status)) break;
        out.push_back({start, end - start});
    }
    static const icu::UnicodeString kNothing;
    matcher->reset(kNothing);  // drop the reference to the caller's text
    return out;
}

}  // namespace zimlo::text
