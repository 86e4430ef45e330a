// Subtitles switched on in the recording window without a speech model: what the window says,
// and the model installed from it with the real zimlo-tool (Debian's English model stands in
// for a downloaded one).
#include <QProcess>
#include <cstdlib>
#include <deque>
#include <fstream>

#include "RecordingWindowTestSupport.h"
#include "platform/speech/SpeechRecognizer.h"

namespace zimlo::recording {
namespace {

using namespace test;

class SpeechModelWindowTest : public RecordingWindowTest {
  protected:
    void SetUp() override {
        RecordingWindowTest::SetUp();
        if (const char* data = std::getenv("XDG_DATA_HOME")) previousDataHome = data;
        ::setenv("XDG_DATA_HOME", (directory / "data").c_str(), 1);
    }
    void TearDown() override {
        if (previousDataHome)
            ::setenv("XDG_DATA_HOME", previousDataHome->c_str(), 1);
        else
            ::unsetenv("XDG_DATA_HOME");
        RecordingWindowTest::TearDown();
    }

    std::unique_ptr<RecordingView> makeWindow() {
        auto deps = dependencies();
        deps.speech =
            LiveSpeechRecognizer::create(speech::SpeechRecognizer::shared("zh-CN", std::nullopt));
        deps.modelTool = QStringLiteral(ZIMLO_BINARY_DIR "/tools/zimlo-tool/zimlo-tool");
        deps.chooseSpeechModel = [this](QWidget*) {
            ++chooserOpened;
            if (chosen.empty()) return QString();
            QString next = QString::fromStdString(chosen.front().string());
            chosen.pop_front();
            return next;
        };
        auto c = std::make_unique<RecordingView>(target, deps);
        c->resize(1180, 760);
        c->show();
        return c;
    }

    // Statuses shown until `done` holds.
    static std::vector<QString> statusesUntil(RecordingView& c, const std::function<bool()>& done,
                                              std::chrono::milliseconds limit) {
        std::vector<QString> seen;
        pumpUntil(
            [&] {
                if (seen.empty() || seen.back() != c.statusLabel()->text())
                    seen.push_back(c.statusLabel()->text());
                return done();
            },
            limit);
        return seen;
    }

    std::optional<std::string> previousDataHome;
    std::deque<fs::path> chosen;
    int chooserOpened = 0;
};

TEST_F(SpeechModelWindowTest, TheWindowExplainsTheMissingModelAndInstallsAChosenOne) {
    auto c = makeWindow();
    ASSERT_TRUE(waitUntilReady(*c));
    EXPECT_FALSE(c->installModelButton()->isVisible());
    c->subtitleToggle()->click();
    ASSERT_TRUE(pumpUntil([&] { return c->installModelButton()->isVisible(); }, 10s))
        << c->statusLabel()->text().toStdString();
    EXPECT_TRUE(c->subtitleToggle()->isChecked());
    EXPECT_TRUE(c->isHoldingError());
    EXPECT_TRUE(c->statusLabel()->toolTip().contains(
        QStringLiteral("zimlo-tool models install cmusphinx-zh-cn-5.2.tar.gz --language zh-CN")))
        << c->statusLabel()->toolTip().toStdString();
    EXPECT_TRUE(c->subtitleRegion()->isShowingNotice());

    // Cancelling the chooser changes nothing.
    c->installModelButton()->click();
    EXPECT_EQ(chooserOpened, 1);
    EXPECT_TRUE(c->installModelButton()->isEnabled());

    // Something that is no model: the tool's reason, and the offer stays.
    const fs::path broken = directory / "cmusphinx-zh-cn-5.2.tar.gz";
    std::ofstream(broken) << "not an archive\n";
    chosen.push_back(broken);
    c->installModelButton()->click();
    EXPECT_FALSE(c->installModelButton()->isEnabled());
    ASSERT_TRUE(pumpUntil([&] { return c->installModelButton()->isEnabled(); }, 60s));
    const QString failure = c->statusLabel()->toolTip();
    EXPECT_TRUE(failure.startsWith(QStringLiteral("语音模型安装失败："))) << failure.toStdString();
    EXPECT_TRUE(failure.contains(QString::fromStdString(broken.string()))) << failure.toStdString();
    EXPECT_TRUE(c->isHoldingError());
    EXPECT_TRUE(c->installModelButton()->isVisible());
    EXPECT_TRUE(c->subtitles().isSpeechModelMissing());
    EXPECT_FALSE(fs::exists(directory / "data" / "zimlo" / "models" / "zh-CN"));

    // A model: installed in the background with its steps on the status line, then used.
    const fs::path downloaded = directory / "downloaded-model";
    fs::copy("/usr/share/pocketsphinx/model/en-us", downloaded, fs::copy_options::recursive);
    chosen.push_back(downloaded);
    c->installModelButton()->click();
    const auto statuses = statusesUntil(
        *c, [&] { return !c->installModelButton()->isVisible(); }, 180s);
    ASSERT_FALSE(c->installModelButton()->isVisible()) << c->statusLabel()->text().toStdString();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(),
                        QStringLiteral("正在安装语音模型：正在试加载模型，检查能否使用…")),
              statuses.end());
    EXPECT_NE(
        std::find(statuses.begin(), statuses.end(), QStringLiteral("语音模型已安装，字幕已开启")),
        statuses.end());
    EXPECT_TRUE(fs::exists(directory / "data" / "zimlo" / "models" / "zh-CN"));
    EXPECT_FALSE(c->subtitles().isSpeechModelMissing());
    EXPECT_TRUE(c->subtitleRegion()->isShowingPlaceholder());

    c->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return c->isRecording(); }, 10s));
    EXPECT_TRUE(c->subtitles().speech()->isRunning());
    c->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return !c->isRecording(); }, 60s));
}

}  // namespace
}  // namespace zimlo::recording
