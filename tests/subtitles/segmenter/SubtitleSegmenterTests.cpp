#include <gtest/gtest.h>

#include <string>

#include "subtitles/SubtitleSegmenter.h"

using namespace zimlo;

namespace {

struct Cut {
    double start, end;
    std::string text;
};

std::vector<Cut> cut(const std::vector<TranscriptionSegment>& words, double offset = 0) {
    std::vector<Cut> out;
    for (const auto& s : SubtitleSegmenter::segments(words, offset))
        out.push_back({s.startTime, s.endTime, s.text});
    return out;
}

}  // namespace

TEST(SubtitleSegmenter, SentenceEndsSpacingAndOffset) {
    auto cuts = cut({{"Hello", 0.0, 0.4}, {"world.", 0.5, 0.5}, {"Next", 1.2, 0.3}}, 10);
    ASSERT_EQ(cuts.size(), 2u);
    EXPECT_EQ(cuts[0].text, "Hello world.");
    EXPECT_DOUBLE_EQ(cuts[0].start, 10.0);
    EXPECT_DOUBLE_EQ(cuts[0].end, 11.0);
    EXPECT_EQ(cuts[1].text, "Next");
    EXPECT_DOUBLE_EQ(cuts[1].start, 11.2);
    EXPECT_DOUBLE_EQ(cuts[1].end, 11.5);

    cuts = cut({{"今天", 0, 0.3}, {"天气", 0.3, 0.3}, {"很好", 0.6, 0.3}});
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(cuts[0].text, "今天天气很好");
    EXPECT_DOUBLE_EQ(cuts[0].end, 0.9);

    // Every sentence-ending character closes, even with no pause after it.
    for (const char* end : {"。", "！", "？", "…", ".", "!", "?"}) {
        EXPECT_EQ(cut({{std::string("好") + end, 0, 0.2}, {"对", 0.2, 0.2}}).size(), 2u) << end;
    }
    EXPECT_EQ(cut({{"好，", 0, 0.2}, {"对", 0.2, 0.2}}).size(), 1u);
}

TEST(SubtitleSegmenter, SpacesOnlyBetweenAsciiLettersAndDigits) {
    auto joined = [](std::string a, std::string b) {
        return cut({{a, 0, 0.1}, {b, 0.1, 0.1}})[0].text;
    };
    EXPECT_EQ(joined("hello", "3D"), "hello 3D");
    EXPECT_EQ(joined("hello", "，"), "hello，");
    EXPECT_EQ(joined("é", "a"), "éa");
    EXPECT_EQ(joined("a", "é"), "aé");
    EXPECT_EQ(joined("中", "a"), "中a");
    EXPECT_EQ(joined("e\u0301", "a"), "e\u0301a");  // a cluster of two scalars is not ASCII
    EXPECT_EQ(joined("x", ""), "x");
}

TEST(SubtitleSegmenter, PausesDurationAndLength) {
    // A gap of 0.55 s closes; 0.54 s does not.
    EXPECT_EQ(cut({{"A", 0.5, 0.5}, {"B", 1.55, 0.2}}).size(), 2u);
    EXPECT_EQ(cut({{"A", 0.5, 0.5}, {"B", 1.54, 0.2}}).size(), 1u);

    // Cut after the word whose end reaches 3.2 s past the segment start.
    std::vector<TranscriptionSegment> words;
    for (int i = 0; i < 8; ++i) words.push_back({"w", i * 0.5, 0.45});
    auto cuts = cut(words);
    ASSERT_EQ(cuts.size(), 2u);
    EXPECT_EQ(cuts[0].text, "w w w w w w w");  // ends at 3.45
    EXPECT_DOUBLE_EQ(cuts[0].end, 3.45);
    EXPECT_DOUBLE_EQ(cuts[1].start, 3.5);

    // The word that brings the text to 22 characters closes the segment, whole.
    cuts = cut({{"一二三四五六七八九十", 0, 0.1},
                {"一二三四五六七八九十", 0.1, 0.1},
                {"一二三", 0.2, 0.1},
                {"四", 0.3, 0.1}});
    ASSERT_EQ(cuts.size(), 2u);
    EXPECT_EQ(cuts[0].text, "一二三四五六七八九十一二三四五六七八九十一二三");
    EXPECT_EQ(cuts[1].text, "四");
    // 22 characters close, 21 stay open.
    EXPECT_EQ(cut({{"一二三四五六七八九十一", 0, 0.1},
                   {"二三四五六七八九十一", 0.1, 0.1},
                   {"二", 0.2, 0.1},
                   {"三", 0.3, 0.1}})
                  .size(),
              2u);
    EXPECT_EQ(cut({{"一二三四五六七八九十", 0, 0.1},
                   {"二三四五六七八九十一", 0.1, 0.1},
                   {"二", 0.2, 0.1},
                   {"三", 0.3, 0.1}})
                  .size(),
              1u);
}

// The same speech is cut the same way wherever it falls in the recording: a pause of exactly
// 0.55 s and a segment of exactly 3.2 s reach their limits at any offset.
TEST(SubtitleSegmenter, CutsDoNotDependOnTheOffset) {
    const std::vector<std::vector<TranscriptionSegment>> speeches = {
        {{"A", 0.5, 0.5}, {"B", 1.55, 0.2}},
        {{"w", 0, 0.5},
         {"w", 0.6, 0.5},
         {"w", 1.2, 0.5},
         {"w", 1.8, 0.5},
         {"w", 2.4, 0.8},
         {"x", 3.3, 0.2}},
        {{"w", 0.1, 0.5},
         {"w", 0.7, 0.5},
         {"w", 1.3, 0.5},
         {"w", 1.9, 0.5},
         {"w", 2.5, 0.8},
         {"x", 3.4, 0.2}},
    };
    const std::vector<std::vector<std::string>> expected = {
        {"A", "B"}, {"w w w w w", "x"}, {"w w w w w", "x"}};
    for (size_t i = 0; i < speeches.size(); ++i) {
        for (double offset : {0.0, 7.3, 12.1, 100.7, 3600.3}) {
            auto cuts = cut(speeches[i], offset);
            std::vector<std::string> texts;
            for (const auto& c : cuts) texts.push_back(c.text);
            EXPECT_EQ(texts, expected[i]) << "speech " << i << " at offset " << offset;
            ASSERT_FALSE(cuts.empty());
            EXPECT_NEAR(cuts[0].start, offset + speeches[i][0].timestamp, 1e-9);
        }
    }
}

TEST(SubtitleSegmenter, MinimumDurationTrimmingAndEmptySegments) {
    auto cuts = cut({{"啊", 2, 0.1}});
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_DOUBLE_EQ(cuts[0].end, 2.3);
    // A last word of only spaces after a closed segment adds nothing.
    cuts = cut({{"好。", 0, 0.5}, {"   ", 0.6, 0.2}});
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(cuts[0].text, "好。");
    // Spaces and tabs are trimmed, line breaks are not.
    cuts = cut({{" \t你好\n", 0, 0.5}});
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(cuts[0].text, "你好\n");
    EXPECT_TRUE(cut({}).empty());
    // Identifiers are fresh for each segment.
    auto segments = SubtitleSegmenter::segments({{"a.", 0, 0.1}, {"b.", 0.2, 0.1}}, 0);
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_NE(segments[0].id, segments[1].id);
    EXPECT_FALSE(segments[0].id.isNil());
}

TEST(SubtitleSegmenter, LiveCaptionText) {
    using SubtitleSegmenter::liveCaptionText;
    EXPECT_EQ(liveCaptionText("你好。今天天气不错", 36), "今天天气不错");
    EXPECT_EQ(liveCaptionText("你好。", 36), "你好。");
    EXPECT_EQ(liveCaptionText("   ", 36), "");
    EXPECT_EQ(liveCaptionText("第一句。第二句！ \n", 36), "第二句！");
    EXPECT_EQ(liveCaptionText("Hi.  Next one\n", 36), "Next one");
    std::string fifty;
    for (int i = 0; i < 50; ++i) fifty += std::string(1, char('a' + i % 26));
    EXPECT_EQ(liveCaptionText(fifty, 36), fifty.substr(14));
    EXPECT_EQ(liveCaptionText("e\u0301e\u0301e\u0301", 2), "e\u0301e\u0301");  // whole clusters
    EXPECT_EQ(liveCaptionText("你好", 0), "");
}
