// Where the recording window records: a folder of the recording's own below the user's state
// folder, whatever the temporary folder is like; the temporary folder when that cannot be made,
// and the status line says so.
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include "RecordingWindowTestSupport.h"
#include "platform/storage/RecordingFolder.h"

namespace zimlo::recording::test {
namespace {

// Sets an environment variable for the scope's life.
class ScopedVariable {
  public:
    ScopedVariable(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedVariable() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST_F(RecordingWindowTest, RecordsInItsOwnFolderWithOrWithoutATemporaryFolder) {
    // The application's own places: recordings below $XDG_STATE_HOME, and a $TMPDIR that does
    // not exist.
    adjustSource = [](capture::ScreenCameraSource::Options& options) {
        options.recordingsDirectory.clear();
    };
    auto deps = dependencies();
    deps.finishServices.temporaryDirectory.clear();
    deps.finishServices.recordingsDirectory.clear();
    const fs::path recordings = directory / "state" / "zimlo" / "recordings";
    {
        ScopedVariable state("XDG_STATE_HOME", (directory / "state").string());
        ScopedVariable temporary("TMPDIR", (directory / "missing").string());
        auto c = std::make_unique<RecordingView>(target, deps);
        c->show();
        std::optional<RecordingProject> saved;
        c->onFinish = [&](const RecordingProject& p) { saved = p; };
        ASSERT_TRUE(waitUntilReady(*c));
        c->toggleRecording();
        ASSERT_TRUE(pumpUntil([&] { return c->isRecording(); }, 10s));
        ASSERT_TRUE(c->source()->recordingFolder());
        EXPECT_EQ(c->source()->recordingFolder()->path().parent_path(), recordings);
        EXPECT_EQ(c->source()->mainOutputPath()->parent_path(),
                  c->source()->recordingFolder()->path());
        EXPECT_FALSE(c->statusLabel()->text().contains(QStringLiteral("录制文件夹不可用")));
        pumpUntil([] { return false; }, 1200ms);
        c->toggleRecording();
        ASSERT_TRUE(pumpUntil([&] { return saved.has_value(); }, 60s))
            << c->statusLabel()->text().toStdString();
        EXPECT_TRUE(c->statusLabel()->text().startsWith(QStringLiteral("录制完成")))
            << c->statusLabel()->text().toStdString();
        EXPECT_EQ(store->loadDrafts().size(), 1u);
        EXPECT_TRUE(fs::is_empty(recordings)) << "the recording's folder went with its draft";
    }

    // A state folder that cannot hold recordings: the temporary folder takes them, and the
    // status line says that a crash would lose them.
    std::ofstream(directory / "state-file") << "a file where the state folder should be";
    fs::create_directories(directory / "system-tmp");
    ScopedVariable state("XDG_STATE_HOME", (directory / "state-file").string());
    ScopedVariable temporary("TMPDIR", (directory / "system-tmp").string());
    auto c = std::make_unique<RecordingView>(target, deps);
    c->show();
    std::optional<RecordingProject> saved;
    c->onFinish = [&](const RecordingProject& p) { saved = p; };
    ASSERT_TRUE(waitUntilReady(*c));
    c->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return c->isRecording(); }, 10s));
    EXPECT_FALSE(c->source()->recordingFolder());
    EXPECT_EQ(c->source()->mainOutputPath()->parent_path(), directory / "system-tmp");
    EXPECT_TRUE(c->statusLabel()->text().contains(QStringLiteral("录制文件夹不可用")))
        << c->statusLabel()->text().toStdString();
    pumpUntil([] { return false; }, 1200ms);
    c->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return saved.has_value(); }, 60s))
        << c->statusLabel()->text().toStdString();
    EXPECT_EQ(store->loadDrafts().size(), 2u);
    EXPECT_TRUE(fs::is_empty(directory / "system-tmp"));
}

}  // namespace
}  // namespace zimlo::recording::test
