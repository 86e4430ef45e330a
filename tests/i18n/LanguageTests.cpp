#include <gtest/gtest.h>

#include <QCoreApplication>
#include <map>
#include <string>

#include "platform/i18n/Language.h"
#include "platform/i18n/Translation.h"

namespace zimlo::i18n {
namespace {

Environment environment(std::map<std::string, std::string> values) {
    return [values = std::move(values)](const char* name) -> std::optional<std::string> {
        const auto found = values.find(name);
        if (found == values.end()) return std::nullopt;
        return found->second;
    };
}

TEST(Language, FollowsTheMessageLocaleAndTheOverride) {
    EXPECT_EQ(chooseLanguage(environment({})), Language::english);
    EXPECT_EQ(chooseLanguage(environment({{"LANG", "C"}})), Language::english);
    EXPECT_EQ(chooseLanguage(environment({{"LANG", "zh_CN.UTF-8"}})), Language::chinese);
    EXPECT_EQ(chooseLanguage(environment({{"LANG", "zh_TW"}})), Language::chinese);
    EXPECT_EQ(chooseLanguage(environment({{"LANG", "de_DE.UTF-8"}})), Language::english);
    // LC_ALL over LC_MESSAGES over LANG; an empty one does not count.
    EXPECT_EQ(chooseLanguage(environment({{"LANG", "zh_CN.UTF-8"}, {"LC_MESSAGES", "en_GB"}})),
              Language::english);
    EXPECT_EQ(chooseLanguage(environment(
                  {{"LANG", "en_US"}, {"LC_MESSAGES", "en_US"}, {"LC_ALL", "zh_CN.UTF-8"}})),
              Language::chinese);
    EXPECT_EQ(chooseLanguage(environment({{"LANG", "zh_CN.UTF-8"}, {"LC_ALL", ""}})),
              Language::chinese);
    // LANGUAGE is a list of preferences: its first Chinese or English entry decides.
    EXPECT_EQ(chooseLanguage(environment({{"LANG", "en_US"}, {"LANGUAGE", "fr:zh_CN:en"}})),
              Language::chinese);
    EXPECT_EQ(chooseLanguage(environment({{"LANG", "zh_CN"}, {"LANGUAGE", "en_US:zh"}})),
              Language::english);
    EXPECT_EQ(chooseLanguage(environment({{"LANG", "zh_CN"}, {"LANGUAGE", "fr"}})),
              Language::chinese);
    // ZIMLO_LANGUAGE wins; anything but zh or en leaves it to the locale.
    EXPECT_EQ(chooseLanguage(environment({{"LANG", "zh_CN"}, {"ZIMLO_LANGUAGE", "en"}})),
              Language::english);
    EXPECT_EQ(chooseLanguage(environment({{"LANGUAGE", "en"}, {"ZIMLO_LANGUAGE", "zh"}})),
              Language::chinese);
    EXPECT_EQ(chooseLanguage(environment({{"LANG", "zh_CN"}, {"ZIMLO_LANGUAGE", "klingon"}})),
              Language::chinese);
}

TEST(Language, InstallingEnglishTranslatesQtAndCoreTextsAndChineseRestoresThem) {
    int argc = 1;
    char name[] = "language_tests";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    const char* context = "zimlo::app::DraftNotifier";

    ASSERT_TRUE(installLanguage(Language::english));
    EXPECT_EQ(installedLanguage(), Language::english);
    EXPECT_EQ(QCoreApplication::translate(context, "已保存草稿"), QStringLiteral("Draft saved"));
    EXPECT_EQ(translate(context, "已保存草稿"), "Draft saved");
    // A text the catalogue does not hold is shown as written rather than lost.
    EXPECT_EQ(translate(context, "目录里没有的话"), "目录里没有的话");

    ASSERT_TRUE(installLanguage(Language::chinese));
    EXPECT_EQ(installedLanguage(), Language::chinese);
    EXPECT_EQ(QCoreApplication::translate(context, "已保存草稿"), QStringLiteral("已保存草稿"));
    EXPECT_EQ(translate(context, "已保存草稿"), "已保存草稿");
}

TEST(Language, ArgumentsFillTheirMarkersInAnyOrderAndAreNotReadAsMarkers) {
    EXPECT_EQ(withArguments("无法打开录音设备 %1：%2", {"hw:0", "忙"}),
              "无法打开录音设备 hw:0：忙");
    EXPECT_EQ(withArguments("%2 cannot open %1", {"A", "B"}), "B cannot open A");
    // A value holding a marker stays as it is; a marker without a value too.
    EXPECT_EQ(withArguments("%1 and %2", {"100%2", "x"}), "100%2 and x");
    EXPECT_EQ(withArguments("%1 of %3 at 50%", {"a"}), "a of %3 at 50%");
    EXPECT_EQ(withArguments("%1%1", {"ab"}), "abab");
}

}  // namespace
}  // namespace zimlo::i18n
