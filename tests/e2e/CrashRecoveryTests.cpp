// Zimlo killed with SIGKILL while it records, and just after "停止录制" while it finishes the
// recording: the next start saves what was recorded as a draft, says so on the home window, and
// leaves nothing where it was recorded. The recording runs in a child process
// (zimlo_e2e_recording_child) on this test's private desktop, sound server and folders.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QLabel>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "E2ESupport.h"
#include "app/DraftCard.h"
#include "app/HomeView.h"
#include "app/HomeWindowController.h"
#include "model/DraftStore.h"
#include "platform/media/AssetReader.h"
#include "platform/media/MonotonicClock.h"
#include "sandbox/PulseServer.h"
#include "sandbox/SoundFeeds.h"
#include "sandbox/SpeechFeed.h"
#include "support/ResultValue.h"

namespace zimlo::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

double now() { return media::MonotonicClock::nowSeconds(); }

// The child, its standard output read line by line.
class RecordingChild {
  public:
    explicit RecordingChild(const std::vector<std::string>& arguments) {
        int out[2];
        if (::pipe(out) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            std::vector<char*> argv;
            static std::string program =
                std::string(ZIMLO_BINARY_DIR) + "/tests/e2e/zimlo_e2e_recording_child";
            argv.push_back(program.data());
            std::vector<std::string> copies = arguments;
            for (auto& argument : copies) argv.push_back(argument.data());
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        lines_ = ::fdopen(out[0], "r");
    }
    ~RecordingChild() {
        kill();
        if (lines_) std::fclose(lines_);
    }

    // Reads until the line `wanted`; false when the child ended first.
    bool waitFor(const std::string& wanted) {
        char line[512];
        while (lines_ && std::fgets(line, sizeof line, lines_))
            if (std::string(line) == wanted + "\n") return true;
        return false;
    }
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    FILE* lines_ = nullptr;
};

// The time of the last picture that decodes, every picture decoding.
double decodedSeconds(const std::optional<fs::path>& movie) {
    if (!movie) return -1;
    auto asset = test::valueOrFailure(media::MovieAsset::open(*movie));
    if (!asset || asset->tracks(media::MediaType::video).empty()) return -1;
    auto reader = test::valueOrFailure(media::VideoFrameReader::open(
        *asset, asset->tracks(media::MediaType::video).front().trackID));
    if (!reader) return -1;
    double last = -1;
    while (auto frame = reader->next()) last = frame->presentationTime.seconds();
    return reader->failed() ? -1 : last;
}

// Zimlo starts again: the home window lists the drafts and says how many were recovered (an
// empty notice when there was nothing to recover).
struct Restarted {
    std::vector<RecordingProject> drafts;
    QString notice;
};
Restarted startAgain(size_t draftsExpected) {
    Restarted seen;
    auto shell = app::HomeWindowController::create(app::ShellServices::system());
    shell->window()->show();
    const bool listed = pumpUntil(
        [&] {
            auto* home = shell->homeView();
            return home && home->cardViews().size() == draftsExpected;
        },
        120s);
    EXPECT_TRUE(listed) << "the drafts were not listed";
    // A notice comes with the listing; give a late one the chance to show before reading it.
    pumpUntil([&] { return shell->homeView()->noticeLabel()->isVisible(); }, 2s);
    if (auto* home = shell->homeView()) {
        seen.drafts = home->drafts();
        if (home->noticeLabel()->isVisible()) seen.notice = home->noticeLabel()->text();
    }
    shell.reset();
    pumpFor(200ms);
    return seen;
}

TEST(KilledRecording, WhatAKilledRecordingHeldIsADraftAfterTheNextStart) {
    const auto& env = environment();

    // Killed while recording, once it has turned speech into a subtitle: the movies as far as
    // they were written, the subtitle kept in the recording's journal.
    {
        sandbox::SoundFeeds sounds(*env.pulse);
        RecordingChild child({"--subtitles"});
        ASSERT_TRUE(child.waitFor("recording"));
        const double started = now();
        std::vector<sandbox::SpokenSentence> spoken;
        sounds.speak(sandbox::librivoxSpeech(30, 1.0, 1.0, spoken));
        ASSERT_TRUE(child.waitFor("subtitled"));
        std::this_thread::sleep_for(1s);
        const double recorded = now() - started;
        child.kill();
        sounds.stop();

        const Restarted again = startAgain(1);
        EXPECT_EQ(again.notice, QStringLiteral("已恢复 1 个意外中断的录制，已存为草稿"));
        ASSERT_EQ(again.drafts.size(), 1u);
        const RecordingProject& draft = again.drafts.front();
        ASSERT_TRUE(draft.mainVideo && draft.pipVideo);
        const double screen = decodedSeconds(localFile(draft.mainVideo));
        EXPECT_GE(screen, recorded - 2.5) << "recorded " << recorded << " s";
        EXPECT_NEAR(draft.duration, screen, 0.5);
        EXPECT_GE(decodedSeconds(localFile(draft.pipVideo)), recorded - 2.5);
        const RecordingProject stored = RecordingProject::fromJSON([&] {
            std::ifstream in(localFile(draft.mainVideo)->parent_path() / "project.json");
            return std::string(std::istreambuf_iterator<char>(in), {});
        }());
        EXPECT_FALSE(stored.subtitleTrack.empty()) << "the journaled subtitle";
        EXPECT_TRUE(fs::exists(localFile(draft.mainVideo)->parent_path() / "subtitles.srt"));
        EXPECT_TRUE(fs::is_empty(env.recordings));
    }

    // Killed 0.3 s after "停止录制", while the recording is being finished, or just after: with
    // the movie composed while recording, a short recording's finish can be done by then. Either
    // way nothing is lost: a recovered raw draft (with its camera movie, announced), or the
    // finished draft (camera composed in, nothing to announce).
    {
        RecordingChild child({"--stop-after", "4"});
        ASSERT_TRUE(child.waitFor("recording"));
        const double started = now();
        ASSERT_TRUE(child.waitFor("stopped"));
        const double recorded = now() - started;
        std::this_thread::sleep_for(300ms);
        child.kill();

        const Restarted again = startAgain(2);
        ASSERT_EQ(again.drafts.size(), 2u);
        const RecordingProject& draft = again.drafts.front();  // the newer recording
        ASSERT_TRUE(draft.mainVideo);
        if (draft.pipVideo) {
            EXPECT_EQ(again.notice, QStringLiteral("已恢复 1 个意外中断的录制，已存为草稿"));
        } else {
            EXPECT_EQ(again.notice, QString()) << "a finished draft announced as recovered";
        }
        EXPECT_GE(decodedSeconds(localFile(draft.mainVideo)), recorded - 2.5)
            << "recorded " << recorded;
        EXPECT_TRUE(fs::is_empty(env.recordings));
    }
}

}  // namespace
}  // namespace zimlo::e2e
