#include <gtest/gtest.h>
#include <unicode/uchar.h>
#include <unicode/uscript.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/text/UnicodeText.h"
#include "platform/text/WordTagger.h"
#include "support/TestMain.h"

using namespace zimlo::text;

namespace {

WordTagger& loadedTagger() {
    auto& tagger = WordTagger::shared();
    EXPECT_TRUE(tagger.waitUntilLoaded(std::chrono::minutes(5)));
    EXPECT_EQ(tagger.chineseError(), std::nullopt) << *tagger.chineseError();
    EXPECT_EQ(tagger.englishError(), std::nullopt) << *tagger.englishError();
    return tagger;
}

// "word/tag word/tag ..." of a Chinese text.
std::string cut(WordTagger& tagger, const std::u16string& text) {
    auto tagged = tagger.tag(text, Language::chinese);
    if (!tagged) return "<none>";
    std::string out;
    for (const auto& w : tagged->words)
        out += (out.empty() ? "" : " ") + substring(text, w.range) + "/" + w.tag;
    return out;
}

std::string names(const std::u16string& text, const TaggedText& tagged) {
    std::string out;
    for (const auto& n : tagged.names)
        out += substring(text, n.range) + "=" + nameTypeName(n.type) + ";";
    return out;
}

}  // namespace

TEST(WordTagger, GuessesTheLanguageFromTheDominantScript) {
    EXPECT_EQ(dominantLanguage(u"今天天气很好"), Language::chinese);
    EXPECT_EQ(dominantLanguage(u"The weather is fine"), Language::english);
    EXPECT_EQ(dominantLanguage(u"我用iPhone拍照"),
              Language::chinese);  // a Han character weighs two letters
    EXPECT_EQ(dominantLanguage(u"Привет, мир"), Language::undetermined);
    EXPECT_EQ(dominantLanguage(u"123 !!"), Language::undetermined);
    // Ties: Han wins over every script, Latin over every other one.
    EXPECT_EQ(dominantLanguage(u"好ab"), Language::chinese);
    EXPECT_EQ(dominantLanguage(u"ΩωΨ好"), Language::undetermined);
    EXPECT_EQ(dominantLanguage(u"Ω\U00020000x"), Language::chinese);
    EXPECT_EQ(dominantLanguage(u"abПр"), Language::english);
    EXPECT_EQ(dominantLanguage(u"aПри"), Language::undetermined);
    EXPECT_EQ(dominantLanguage(u"ÉtéПр ＡＢ"), Language::english);  // accented and full-width
    // The unified Han block is counted without asking for each character's script.
    for (UChar32 c = 0x4E00; c <= 0x9FFF; ++c) {
        UErrorCode status = U_ZERO_ERROR;
        ASSERT_TRUE(u_isalpha(c) && uscript_getScript(c, &status) == USCRIPT_HAN) << c;
    }
}

// Expected cuts are those of jieba.posseg (python3-jieba) on the same sentences.
TEST(WordTagger, CutsChineseAsJiebaDoes) {
    auto& tagger = loadedTagger();
    EXPECT_EQ(cut(tagger, u"王小二和李四去了上海浦东新区，参加了阿里巴巴集团的发布会。"),
              "王小二/nr 和/c 李四/nr 去/v 了/ul 上海浦东新区/ns 参加/v 了/ul 阿里巴巴/nrt 集团/n "
              "的/uj 发布会/n");
    // Latin words, numbers with units, and punctuation left out.
    EXPECT_EQ(cut(tagger, u"我用iPhone 15拍了3.5GB的4K视频，花了35%的电量！"),
              "我/r 用/p iPhone/eng 15/m 拍/v 了/ul 3.5/m GB/eng 的/uj 4/m K/eng 视频/n 花/v 了/ul "
              "35/m 的/uj 电量/n");
    // 张小明 is not in the dictionary: the HMM joins it and tags it as a person.
    EXPECT_EQ(cut(tagger, u"张小明昨天在杭州见到了李华明。"),
              "张小明/nr 昨天/t 在/p 杭州/ns 见到/v 了/ul 李/nr 华明/nz");
    EXPECT_EQ(cut(tagger, u"C++和AT&T的c#程序员在2024年开会"),
              "C++/nz 和/c AT&T/nz 的/uj c#/nz 程序员/n 在/p 2024/m 年/m 开会/v");
}

TEST(WordTagger, MapsChineseTagsToClassesAndNames) {
    auto& tagger = loadedTagger();
    std::u16string text = u"张小明在北京大学学习一心一意地工作，非常漂亮。";
    auto tagged = tagger.tag(text, Language::chinese);
    ASSERT_TRUE(tagged);
    std::map<std::string, LexicalClass> classes;
    for (const auto& w : tagged->words) classes[substring(text, w.range)] = w.lexicalClass;
    EXPECT_EQ(classes["张小明"], LexicalClass::noun);
    EXPECT_EQ(classes["学习"], LexicalClass::verb);
    EXPECT_EQ(classes["一心一意"], LexicalClass::idiom);
    EXPECT_EQ(classes["漂亮"], LexicalClass::adjective);
    EXPECT_EQ(classes["在"], LexicalClass::preposition);
    EXPECT_EQ(names(text, *tagged), "张小明=PersonalName;北京大学=OrganizationName;");
    // Ranges are UTF-16 units even after a supplementary character.
    std::u16string wide = u"\U00020000北京";
    auto w = tagger.tag(wide, Language::chinese);
    ASSERT_TRUE(w);
    ASSERT_FALSE(w->names.empty());
    EXPECT_EQ(w->names.back().range, (TextRange{2, 2}));
}

TEST(WordTagger, TagsEnglishWithWordNet) {
    auto& tagger = loadedTagger();
    std::u16string text =
        u"The children were running quickly to New York with 3 happy dogs and George Washington's "
        u"hat.";
    auto tagged = tagger.tag(text, Language::english);
    ASSERT_TRUE(tagged);
    std::map<std::string, LexicalClass> classes;
    for (const auto& w : tagged->words) classes[substring(text, w.range)] = w.lexicalClass;
    EXPECT_EQ(classes["The"], LexicalClass::determiner);
    EXPECT_EQ(classes["children"], LexicalClass::noun);  // from the exception list
    EXPECT_EQ(classes["running"], LexicalClass::verb);
    EXPECT_EQ(classes["quickly"], LexicalClass::adverb);
    EXPECT_EQ(classes["happy"], LexicalClass::adjective);
    EXPECT_EQ(classes["3"], LexicalClass::number);
    EXPECT_EQ(classes["and"], LexicalClass::conjunction);
    // Multi-word names are joined; the possessive is not part of the name.
    EXPECT_EQ(names(text, *tagged), "New York=PlaceName;George Washington=PersonalName;");
}

TEST(WordTagger, EnglishNamesNeedACapitalAndAProperSense) {
    auto& tagger = loadedTagger();
    std::u16string text =
        u"The President met people from France, NASA and the United Nations in paris.";
    auto tagged = tagger.tag(text, Language::english);
    ASSERT_TRUE(tagged);
    // "President" is a title, "people" a common noun, lower-case "paris" no name.
    EXPECT_EQ(names(text, *tagged),
              "France=PlaceName;NASA=OrganizationName;United Nations=OrganizationName;");
}

TEST(WordTagger, MainThreadCallersAreNotBlockedByLoading) {
    // A tagger of its own on dictionaries that are not there: loading fails quickly, each
    // language reports why, and tagging yields nothing instead of blocking or crashing.
    auto dir = std::filesystem::temp_directory_path() / "zimlo-text-missing";
    WordTagger tagger({(dir / "jieba").string(), (dir / "wordnet").string(), "-"});
    auto first = tagger.tag(u"北京", Language::chinese);  // on the main thread: no wait
    if (!tagger.isLoaded()) {
        EXPECT_FALSE(first);
    }
    ASSERT_TRUE(tagger.waitUntilLoaded(std::chrono::minutes(1)));
    using Kind = DictionaryError::Kind;
    EXPECT_EQ(tagger.chineseError(),
              (DictionaryError{Kind::unreadable, (dir / "jieba" / "dict.txt").string(), ""}));
    EXPECT_EQ(tagger.englishError(),
              (DictionaryError{Kind::unreadable, (dir / "wordnet" / "index.noun").string(), ""}));
    EXPECT_FALSE(tagger.tag(u"北京", Language::chinese));
    EXPECT_FALSE(tagger.tag(u"London", Language::english));
}

TEST(WordTagger, DamagedChineseTablesNameTheFileAndWhatIsWrong) {
    using Kind = DictionaryError::Kind;
    const std::filesystem::path system = "/usr/lib/python3/dist-packages/jieba/posseg";
    auto dir = std::filesystem::temp_directory_path() /
               ("zimlo-text-damaged-" + std::to_string(::getpid()));
    auto write = [](const std::filesystem::path& file, const std::string& text) {
        std::ofstream(file, std::ios::binary) << text;
    };
    struct Case {
        std::string what;
        std::string dictionary;        // dict.txt
        std::function<void()> damage;  // what to do to the copied tables
        std::string file;              // the one named
        std::string detail;
    };
    const std::vector<Case> cases{
        {"a word without a frequency", "北京 100 ns\n坏\n", [] {}, "dict.txt",
         "line 2 is malformed"},
        {"a table cut short", "北京 100 ns\n",
         [&] {
             auto file = dir / "posseg" / "prob_trans.py";
             std::filesystem::resize_file(file, std::filesystem::file_size(file) / 2);
         },
         "posseg/prob_trans.py", "unexpected end of table"},
        {"a bad escape", "北京 100 ns\n",
         [&] { write(dir / "posseg" / "prob_start.py", "P={('B', '\\uZZZZ'): -1.0}"); },
         "posseg/prob_start.py", "bad escape in table"},
        // A damaged file must not exhaust the loader's stack.
        {"nesting without end", "北京 100 ns\n",
         [&] { write(dir / "posseg" / "prob_emit.py", "P=" + std::string(1 << 20, '{')); },
         "posseg/prob_emit.py", "table nested too deeply"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir / "posseg");
        for (const char* table :
             {"prob_start.py", "prob_trans.py", "prob_emit.py", "char_state_tab.py"})
            std::filesystem::copy_file(system / table, dir / "posseg" / table);
        write(dir / "dict.txt", c.dictionary);
        c.damage();
        WordTagger tagger({dir.string(), (dir / "no-wordnet").string(), "-"});
        ASSERT_TRUE(tagger.waitUntilLoaded(std::chrono::minutes(1)));
        EXPECT_EQ(tagger.chineseError(),
                  (DictionaryError{Kind::malformed, (dir / c.file).string(), c.detail}));
        EXPECT_FALSE(tagger.tag(u"北京", Language::chinese));
    }
    std::filesystem::remove_all(dir);
}

TEST(WordTagger, BinaryCacheGivesTheSameTags) {
    auto dir =
        std::filesystem::temp_directory_path() / ("zimlo-text-cache-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::u16string zh = u"王小二和李四去了上海浦东新区，参加了阿里巴巴集团的发布会。";
    std::u16string en = u"Angela flew from London to New York.";
    std::string built, mapped;
    for (std::string* out : {&built, &mapped}) {
        WordTagger::Paths paths;
        paths.cacheDirectory = dir.string();
        WordTagger tagger(paths);
        std::optional<TaggedText> a, b;
        // Tagging from another thread waits for the dictionaries.
        std::thread([&] {
            a = tagger.tag(zh, Language::chinese);
            b = tagger.tag(en, Language::english);
        }).join();
        ASSERT_TRUE(a && b);
        EXPECT_EQ(tagger.loadedFromCache(), out == &mapped);
        for (const auto& w : a->words) *out += substring(zh, w.range) + "/" + w.tag + " ";
        for (const auto& w : b->words)
            *out += substring(en, w.range) + "/" + lexicalClassName(w.lexicalClass) + " ";
        *out += names(zh, *a) + names(en, *b);
    }
    EXPECT_EQ(built, mapped);
    EXPECT_TRUE(std::filesystem::exists(dir / "word-tagger.bin"));
    // A damaged cache is rebuilt, not trusted.
    std::filesystem::resize_file(dir / "word-tagger.bin", 1000);
    WordTagger::Paths paths;
    paths.cacheDirectory = dir.string();
    WordTagger again(paths);
    ASSERT_TRUE(again.waitUntilLoaded(std::chrono::minutes(5)));
    EXPECT_FALSE(again.loadedFromCache());
    auto t = again.tagIfLoaded(zh, Language::chinese);
    ASSERT_TRUE(t);
    EXPECT_EQ(
        names(zh, *t),
        "王小二=PersonalName;李四=PersonalName;上海浦东新区=PlaceName;阿里巴巴=PersonalName;");
    std::filesystem::remove_all(dir);
}
