#include <gtest/gtest.h>

#include <random>

#include "platform/text/UnicodeText.h"
#include "platform/text/WordTagger.h"
#include "subtitles/SubtitleEmphasisDetector.h"

using namespace zimlo;
using text::TextRange;
namespace D = SubtitleEmphasisDetector;

namespace {

class SubtitleEmphasis : public ::testing::Test {
  protected:
    // Tests run on the main thread, where the detector does not wait for the dictionaries.
    static void SetUpTestSuite() {
        ASSERT_TRUE(text::WordTagger::shared().waitUntilLoaded(std::chrono::minutes(5)));
    }

    static std::map<std::string, int> scores(const std::u16string& s) {
        std::map<std::string, int> out;
        for (const auto& [range, score] : D::candidates(s)) out[text::substring(s, range)] = score;
        return out;
    }
    static std::vector<std::string> chosen(const std::u16string& s) {
        std::vector<std::string> out;
        for (const auto& range : D::emphasisRanges(s)) out.push_back(text::substring(s, range));
        return out;
    }
};

}  // namespace

TEST_F(SubtitleEmphasis, BlankTextHasNoRanges) {
    EXPECT_TRUE(D::emphasisRanges(std::string_view("")).empty());
    EXPECT_TRUE(D::emphasisRanges(u" \n\t\u3000").empty());
    EXPECT_TRUE(D::candidates(u"  ").empty());
}

TEST_F(SubtitleEmphasis, RegularExpressionScores) {
    // Cyrillic dominates, so no tagger adds to these.
    auto s = scores(
        u"Abcd #launch @x_1 35% 4K 3,25 1234567890123kg Efgh ab-cd_9 Привет Приветствую "
        u"Здравствуйте");
    EXPECT_EQ(s["#launch"], 117);  // 110 + 7
    EXPECT_EQ(s["@x_1"], 114);
    EXPECT_EQ(s["35%"], 98);
    EXPECT_EQ(s["4K"], 97);
    EXPECT_EQ(s["3,25"], 99);
    EXPECT_EQ(s["1234567890123kg"], 107);  // length capped at 12
    EXPECT_EQ(s["Efgh"], 76);              // capital inside the sentence
    EXPECT_EQ(s["Abcd"], 28);              // the text's first word
    EXPECT_EQ(s["ab-cd_9"], 102);          // contains a digit
    EXPECT_EQ(s.count("Привет"), 0u);
}

// The detector matches its expression without the regular-expression engine; the engine is
// the reference, on texts strung together from the characters each branch treats specially.
TEST_F(SubtitleEmphasis, PatternMatchesAreTheEnginesMatches) {
    const std::u16string pattern =
        u"(?:[#@][\\p{L}\\p{N}_]+)|(?:\\d+(?:[.,]\\d+)?(?:%|[A-Za-z]+)?)|(?:[A-Za-z][A-Za-z0-9_-]{"
        u"2,})";
    const std::vector<std::u16string> pieces = {
        u"#",  u"@", u"_",  u"-",  u".",  u",",  u"%",      u" ",          u"0",         u"7",
        u"42", u"a", u"Zq", u"好", u"٣",  u"１", u"Ⅻ",      u"²",          u"é",         u"\u0301",
        u"ǅ",  u"ʰ", u"Я",  u"ｶ",  u"\t", u"。", u"\xD800", u"\U00020000", u"\U0001D7CE"};
    std::mt19937 random(11);
    for (int i = 0; i < 20'000; ++i) {
        std::u16string text;
        for (int k = int(random() % 12); k >= 0; --k) text += pieces[random() % pieces.size()];
        ASSERT_EQ(D::patternMatches(text), text::regexMatches(pattern, text)) << text::toUtf8(text);
    }
}

TEST_F(SubtitleEmphasis, TaggerScoresAndStopWords) {
    auto zh = scores(u"我们觉得需要进行比较，可能已经可以了。北京的风景非常漂亮");
    for (const char* stop :
         {"我们", "觉得", "需要", "进行", "比较", "可能", "已经", "可以", "非常"})
        EXPECT_EQ(zh.count(stop), 0u) << stop;
    EXPECT_EQ(zh["北京"], 122);  // place name: 120 + 2
    EXPECT_EQ(zh["风景"], 60);   // noun: 58 + 2
    EXPECT_EQ(zh["漂亮"], 50);   // adjective: 48 + 2

    auto en = scores(u"They will send the beautiful letters from London with her dog");
    // Stop words keep only what the expression gives any Latin word: 24 + length.
    for (const char* stop : {"They", "will", "the", "from", "with", "her"})
        EXPECT_EQ(en[stop], 24 + int(std::string(stop).size())) << stop;
    EXPECT_EQ(en["letters"], 58 + 7);  // the noun beats the expression's 24 + 7
    EXPECT_EQ(en["beautiful"], 48 + 8);
    EXPECT_EQ(en["send"], 42 + 4);
    EXPECT_EQ(en["London"], 120 + 6);
}

TEST_F(SubtitleEmphasis, ChoiceFollowsScoreLengthAndPosition) {
    std::map<TextRange, int> c = {
        {{0, 2}, 90}, {{10, 4}, 90}, {{20, 4}, 90}, {{30, 3}, 95}, {{31, 5}, 99}};
    // Limits by length of text.
    EXPECT_EQ(D::choose(c, 10).size(), 1u);
    EXPECT_EQ(D::choose(c, 11).size(), 2u);
    EXPECT_EQ(D::choose(c, 24).size(), 2u);
    EXPECT_EQ(D::choose(c, 25).size(), 3u);
    // 99 first; 95 overlaps it; then the longer of the 90s, earliest first; reading order.
    EXPECT_EQ(D::choose(c, 40), (std::vector<TextRange>{{10, 4}, {20, 4}, {31, 5}}));
    // Touching ranges do not overlap.
    EXPECT_EQ(D::choose({{{0, 3}, 50}, {{3, 3}, 50}}, 30),
              (std::vector<TextRange>{{0, 3}, {3, 3}}));
    EXPECT_TRUE(D::choose({}, 30).empty());
}

TEST_F(SubtitleEmphasis, NamesHashtagsAndUnitsWin) {
    // A four-unit name (124) is taken before a hashtag (117) when only one fits.
    EXPECT_EQ(chosen(u"Bach #gone"), std::vector<std::string>{"Bach"});
    auto s = scores(u"Bach #gone");
    EXPECT_EQ(s["Bach"], 124);
    EXPECT_EQ(s["#gone"], 115);
    // Units outrank every word of the tagger.
    EXPECT_EQ(chosen(u"这台电脑支持4K和35%的折扣"), (std::vector<std::string>{"4K", "35%"}));
    // The number and the longer word overlap: only the higher-scoring one is taken.
    EXPECT_EQ(chosen(u"下载3.5GB"), std::vector<std::string>{"3.5GB"});
}

TEST_F(SubtitleEmphasis, RealSentencesFindNames) {
    EXPECT_EQ(chosen(u"王小二和李四去了上海浦东新区，参加了阿里巴巴集团的发布会。"),
              (std::vector<std::string>{"王小二", "上海浦东新区", "阿里巴巴"}));
    EXPECT_EQ(chosen(u"张小明昨天在杭州见到了老朋友。"),
              (std::vector<std::string>{"张小明", "杭州"}));
    auto en =
        chosen(u"Yesterday the President of France met students in Berlin to discuss #climate.");
    EXPECT_EQ(en, (std::vector<std::string>{"France", "Berlin", "#climate"}));
    // UTF-16 ranges after a supplementary character.
    std::u16string wide = u"\U0001F600 我们在北京";
    auto ranges = D::emphasisRanges(wide);
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0], (TextRange{6, 2}));
}
