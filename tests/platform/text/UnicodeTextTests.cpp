#include <gtest/gtest.h>
#include <unicode/brkiter.h>
#include <unicode/uchar.h>

#include <memory>

#include "platform/text/UnicodeText.h"

using namespace zimlo::text;

TEST(UnicodeText, CountsUserPerceivedCharacters) {
    EXPECT_EQ(characterCount(""), 0u);
    EXPECT_EQ(characterCount("今天天气很好"), 6u);
    EXPECT_EQ(characterCount("e\u0301a"), 2u);  // e + combining acute is one
    EXPECT_EQ(characterCount("\U0001F468\u200D\U0001F469\u200D\U0001F467"), 1u);  // ZWJ family
    EXPECT_EQ(characterCount("\U0001F1E8\U0001F1F3!"), 2u);                       // flag + "!"
    EXPECT_EQ(characterCount(u"\U00020000x"), 2u);  // non-BMP ideograph: 2 units, 1 character
    EXPECT_EQ(characters("a\u0301好"), (std::vector<std::string>{"a\u0301", "好"}));
}

TEST(UnicodeText, KeepsLastCharactersWithoutSplittingClusters) {
    EXPECT_EQ(lastCharacters("abc", 5), "abc");
    EXPECT_EQ(lastCharacters("xe\u0301y", 2), "e\u0301y");
    EXPECT_EQ(lastCharacters("你好世界", 0), "");
    EXPECT_EQ(firstCharacter("e\u0301a"), "e\u0301");
    EXPECT_EQ(lastCharacter("a\U0001F44D\U0001F3FD"), "\U0001F44D\U0001F3FD");
}

TEST(UnicodeText, TrimsTheExactCharacterSets) {
    // Spaces and tabs: every space separator, including no-break and ideographic spaces.
    EXPECT_EQ(trimSpacesAndTabs(" \t\u00A0\u3000你好 \t"), "你好");
    EXPECT_EQ(trimSpacesAndTabs("\n你好\r\n"), "\n你好\r\n");  // line breaks stay
    EXPECT_EQ(trimWhitespaceAndNewlines("\n\r\v\f\u0085\u2028\u2029 \u3000a b\t\n"), "a b");
    EXPECT_EQ(trimWhitespaceAndNewlines("\u200Ba"),
              "\u200Ba");  // zero width space is a format character
    EXPECT_EQ(trimWhitespaceAndNewlines(std::u16string_view(u"  ")), u"");
}

TEST(UnicodeText, ScalarsAndClassesOfCharacters) {
    EXPECT_EQ(singleScalar("a"), U'a');
    EXPECT_EQ(singleScalar("é"), U'é');
    EXPECT_EQ(singleScalar("e\u0301"), 0xFFFFFFFFu);
    EXPECT_EQ(singleScalar(""), 0xFFFFFFFFu);
    EXPECT_EQ(lastScalar("ab。"), U'。');
    EXPECT_TRUE(containsLetterOrDigit(u"——好"));
    EXPECT_TRUE(containsLetterOrDigit(u"٣"));  // Arabic-Indic digit
    EXPECT_FALSE(containsLetterOrDigit(u"，。！ "));
    EXPECT_TRUE(containsDecimalDigit(u"abc٣"));
    EXPECT_FALSE(containsDecimalDigit(u"Ⅻ"));  // a letter-like number, not a decimal digit
    EXPECT_EQ(lowercased(u"ÉCOLE Straße"), u"école straße");
}

TEST(UnicodeText, RegexRangesAreUtf16Units) {
    // The supplementary ideograph takes two UTF-16 units before the match.
    std::u16string text = u"\U00020000 #tag 3.5GB";
    auto matches = regexMatches(u"#\\p{L}+|\\d+(?:[.,]\\d+)?[A-Za-z]*", text);
    ASSERT_EQ(matches.size(), 2u);
    EXPECT_EQ(matches[0], (TextRange{3, 4}));
    EXPECT_EQ(matches[1], (TextRange{8, 5}));
    EXPECT_EQ(substring(text, matches[1]), "3.5GB");
    EXPECT_TRUE(regexMatches(u"(unclosed", u"unclosed").empty());
    EXPECT_EQ(substring(text, {10, 50}), "");  // out of range: nothing, no crash
}

TEST(UnicodeText, CountsCharactersInsideRanges) {
    std::u16string text = u"e\u0301好\U00020000";
    auto bounds = characterBoundaries(text);
    EXPECT_EQ(bounds, (std::vector<int32_t>{0, 2, 3, 5}));
    EXPECT_EQ(characterCount(text, bounds, {2, 3}), 2u);
    EXPECT_EQ(characterCount(text, bounds, {1, 2}), 2u);  // not on boundaries: counted on its own
    EXPECT_EQ(characterBoundaries(u""), (std::vector<int32_t>{0}));
}

// Plain text (printable ASCII, Han) is cut without the break iterator; wherever a character
// joins its neighbours the result must still be the iterator's.
TEST(UnicodeText, BoundariesAgreeWithTheBreakIterator) {
    auto reference = [](const std::u16string& text) {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> it(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        icu::UnicodeString s(false, reinterpret_cast<const UChar*>(text.data()),
                             int32_t(text.size()));
        it->setText(s);
        std::vector<int32_t> bounds{0};
        for (int32_t p = it->next(); p != icu::BreakIterator::DONE; p = it->next())
            bounds.push_back(p);
        return bounds;
    };
    for (const std::u16string text :
         {u"abc 好的，OK!", u"a\u0301b", u"好\u200D好", u"x\r\ny", u"한국어 ok",
          u"\U0001F1E8\U0001F1F3!", u"ｶﾞ好", u"〇\u302A", u"a\u00ADb", u"\u0915\u094D\u0937a",
          u"\U0001F44D\U0001F3FD", u"\u0600\u0661", u"好\u3099", u"\u200Ba", u"。，！a",
          u"\uFF21\uFF22", u"\U00020000x", u"a\tb"})
        EXPECT_EQ(characterBoundaries(text), reference(text)) << toUtf8(text);
    // What the quick cut relies on: none of these characters joins another.
    for (char32_t c = 0x20; c < 0x7F; ++c)
        ASSERT_EQ(u_getIntPropertyValue(UChar32(c), UCHAR_GRAPHEME_CLUSTER_BREAK), U_GCB_OTHER);
    for (char32_t c = 0x4E00; c <= 0x9FFF; ++c)
        ASSERT_EQ(u_getIntPropertyValue(UChar32(c), UCHAR_GRAPHEME_CLUSTER_BREAK), U_GCB_OTHER);
}
