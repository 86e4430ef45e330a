// `zimlo-tool record` end to end: a private X server and sound server, the generated camera.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "RootPainter.h"
#include "capture/ScreenCaptureTargetProvider.h"
#include "model/DraftStore.h"
#include "platform/media/AssetReader.h"
#include "platform/storage/RecordingFolder.h"
#include "platform/x11/CaptureTargetList.h"
#include "sandbox/PulseServer.h"
#include "sandbox/XvfbServer.h"
#include "support/CommandOutput.h"
#include "support/ResultValue.h"

namespace zimlo::capture {
namespace {

namespace fs = std::filesystem;

using zimlo::test::valueAfter;

// Private folders for one run of the tool: its recordings, home (drafts) and settings.
struct ToolFolders {
    fs::path dir;
    explicit ToolFolders(const std::string& name)
        : dir(fs::temp_directory_path() / ("zimlo-" + name + "-" + std::to_string(::getpid()))) {
        fs::remove_all(dir);
        fs::create_directories(dir / "home");
    }
    ~ToolFolders() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    fs::path state() const { return dir / "state"; }
    fs::path recordings() const { return state() / "zimlo" / "recordings"; }
    fs::path drafts() const { return dir / "home" / "Documents" / "Drafts"; }
    // The environment of a command run with these folders.
    std::string environment() const {
        return "HOME='" + (dir / "home").string() + "' XDG_STATE_HOME='" + state().string() +
               "' XDG_CONFIG_HOME='" + (dir / "config").string() + "' ";
    }
};

TEST(ZimloToolRecord, WritesScreenMovieWithBothSoundTracksAndACameraMovie) {
    zimlo::sandbox::XvfbServer xvfb("640x480x24");
    xvfb.exportDisplay();
    zimlo::sandbox::PulseServer::shared();
    std::string tool = std::string(ZIMLO_BINARY_DIR) + "/tools/zimlo-tool/zimlo-tool";
    ASSERT_TRUE(fs::exists(tool)) << "build zimlo-tool first: " << tool;
    ToolFolders folders("tool-record");
    tool = folders.environment() + tool;

    auto targets = ScreenCaptureTargetProvider::buildTargets(
        zimlo::test::valueOrFailure(x11::listCaptureTargets(xvfb.displayName().c_str())),
        ::getpid());
    ASSERT_FALSE(targets.empty());
    int status = -1;
    std::string printed =
        zimlo::test::commandOutput(tool + " record --target " + targets.front().id +
                                       " --seconds 2 --fps 30 --generated-camera --mic 2>&1",
                                   status);
    ASSERT_EQ(status, 0) << printed;
    EXPECT_NE(printed.find("status: 实际采样：640×480 · 目标：最大（640×480） / 30fps"),
              std::string::npos)
        << printed;
    EXPECT_NE(printed.find("dropped: stream "), std::string::npos) << printed;

    std::string movie = valueAfter(printed, "screen movie: ");
    std::string cameraMovie = valueAfter(printed, "camera movie: ");
    ASSERT_TRUE(fs::exists(movie)) << printed;
    ASSERT_TRUE(fs::exists(cameraMovie)) << printed;
    // In a recording folder of their own, handed over to whoever reads the paths: the next
    // start does not take them for a killed recording.
    EXPECT_EQ(fs::path(movie).parent_path().parent_path(), folders.recordings());
    EXPECT_EQ(fs::path(cameraMovie).parent_path(), fs::path(movie).parent_path());
    EXPECT_FALSE(fs::exists(fs::path(movie).parent_path() / RecordingFolder::kLockName));
    EXPECT_EQ(zimlo::test::commandOutput(folders.environment() + ZIMLO_BINARY_DIR +
                                             "/tools/zimlo-tool/zimlo-tool drafts recover 2>&1",
                                         status),
              "recovered 0, kept 0, removed 0, interrupted saves cleared 0\n");
    EXPECT_TRUE(fs::exists(movie));
    EXPECT_EQ(
        zimlo::test::commandOutput(
            "ffprobe -v error -show_entries stream=codec_type -of csv=p=0 '" + movie + "'", status),
        "video\naudio\naudio\n");
    EXPECT_EQ(
        zimlo::test::commandOutput(
            "ffprobe -v error -show_entries stream=codec_type -of csv=p=0 '" + cameraMovie + "'",
            status),
        "video\n");
    fs::remove(movie);
    fs::remove(cameraMovie);

    // A pause of a second and a half after half a second: at most two seconds of movie, not
    // three and a half. (On this still screen the first frame, the movie's start, may come up
    // to a second after the recording's.)
    printed = zimlo::test::commandOutput(tool + " record --target " + targets.front().id +
                                             " --seconds 2 --fps 30 --pause 0.5:1.5 2>&1",
                                         status);
    ASSERT_EQ(status, 0) << printed;
    EXPECT_LT(printed.find("paused\n"), printed.find("resumed\n")) << printed;
    EXPECT_NE(printed.find("resumed\n"), std::string::npos) << printed;
    movie = valueAfter(printed, "screen movie: ");
    const double length = std::stod(zimlo::test::commandOutput(
        "ffprobe -v error -show_entries format=duration -of csv=p=0 '" + movie + "'", status));
    EXPECT_LT(length, 2.2);
    EXPECT_GT(length, 0.9);
    fs::remove(movie);
    printed = zimlo::test::commandOutput(
        tool + " record --target " + targets.front().id + " --seconds 1 --pause 2 2>&1", status);
    EXPECT_NE(status, 0);
    EXPECT_NE(printed.find("--pause takes AT:FOR"), std::string::npos) << printed;

    // Bad arguments are refused with the usage.
    printed = zimlo::test::commandOutput(
        tool + " record --target " + targets.front().id + " --seconds 1 --fps 25 2>&1", status);
    EXPECT_NE(status, 0);
    EXPECT_NE(printed.find("--fps must be 24, 30 or 60"), std::string::npos) << printed;
}

// Zimlo's movies in the recording folders below `recordings`.
struct Killed {
    std::optional<fs::path> screen, camera;
};
Killed moviesIn(const fs::path& recordings) {
    Killed found;
    std::error_code error;
    for (fs::recursive_directory_iterator it(recordings, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename();
        if (name.starts_with("zimlo_screen_")) found.screen = it->path();
        if (name.starts_with("zimlo_camera_")) found.camera = it->path();
    }
    return found;
}

// Runs `zimlo-tool record` with the folders of `folders`, kills it with SIGKILL `seconds` after
// the recording started, and returns the movies it left.
Killed recordAndKill(const std::string& tool, const std::string& target, const ToolFolders& folders,
                     double seconds, const std::function<void()>& recordingStarted) {
    int fromChild[2];
    if (::pipe(fromChild) != 0) return {};
    pid_t child = ::fork();
    if (child == 0) {
        ::dup2(fromChild[1], STDOUT_FILENO);
        ::close(fromChild[0]);
        ::setenv("HOME", (folders.dir / "home").c_str(), 1);
        ::setenv("XDG_STATE_HOME", folders.state().c_str(), 1);
        ::execl(tool.c_str(), tool.c_str(), "record", "--target", target.c_str(), "--seconds",
                "600", "--generated-camera", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fromChild[1]);
    FILE* lines = ::fdopen(fromChild[0], "r");
    char line[512];
    while (std::fgets(line, sizeof line, lines))
        if (std::string(line).starts_with("state: recording")) break;
    recordingStarted();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    std::fclose(lines);
    return moviesIn(folders.recordings());
}

// Seconds of movie that decode: the time of the last picture, every picture decoding.
double decodedSeconds(const std::optional<fs::path>& movie) {
    if (!movie) return -1;
    auto asset = zimlo::test::valueOrFailure(media::MovieAsset::open(*movie));
    if (!asset || asset->tracks(media::MediaType::video).empty()) return -1;
    auto reader = zimlo::test::valueOrFailure(media::VideoFrameReader::open(
        *asset, asset->tracks(media::MediaType::video).front().trackID));
    if (!reader) return -1;
    double last = -1;
    while (auto frame = reader->next()) last = frame->presentationTime.seconds();
    return reader->failed() ? -1 : last;
}

// A crash or a kill loses at most the last two seconds or so of a recording, whether the screen
// is still (one new picture a second, tiny fragments) or busy, in the screen and camera movies;
// the next start saves what is left as a draft.
TEST(ZimloToolRecord, AKillLosesOnlyTheLastSecondsAndTheNextStartKeepsTheRestAsADraft) {
    zimlo::sandbox::XvfbServer xvfb("640x480x24");
    xvfb.exportDisplay();
    zimlo::sandbox::PulseServer::shared();
    std::string tool = std::string(ZIMLO_BINARY_DIR) + "/tools/zimlo-tool/zimlo-tool";
    auto targets = ScreenCaptureTargetProvider::buildTargets(
        zimlo::test::valueOrFailure(x11::listCaptureTargets(xvfb.displayName().c_str())),
        ::getpid());
    ASSERT_FALSE(targets.empty());
    constexpr double kSeconds = 6;

    for (bool busy : {false, true}) {
        SCOPED_TRACE(busy ? "busy screen" : "still screen");
        ToolFolders folders(busy ? "killed-busy" : "killed-still");
        std::optional<test::AnimatedScreen> animation;
        if (busy)
            animation.emplace(
                xvfb.displayName(), test::AnimatedScreen::Area{0, 0, 640, 480},
                [](int i) { return static_cast<unsigned long>((i * 37) % 256) << 8; });
        // A still screen changes once as the recording starts, so that its movie starts then
        // (otherwise with the next once-a-second picture) and the seconds compare.
        test::RootPainter marker(xvfb.displayName());
        Killed killed = recordAndKill(tool, targets.front().id, folders, kSeconds, [&] {
            if (!busy) marker.fill(0, 0, 64, 64, 0xffffff);
        });
        animation.reset();
        const double screenSeconds = decodedSeconds(killed.screen);
        EXPECT_GE(screenSeconds, kSeconds - 2.5);
        EXPECT_GE(decodedSeconds(killed.camera), kSeconds - 2.5);

        // The next start: one raw draft of both movies as they decode, measured, and nothing
        // left where they were recorded.
        int status = -1;
        const std::string printed = zimlo::test::commandOutput(
            folders.environment() + tool + " drafts recover 2>&1", status);
        ASSERT_EQ(status, 0) << printed;
        EXPECT_NE(printed.find("recovered 1, kept 0"), std::string::npos) << printed;
        const auto drafts = DraftStore(folders.drafts()).loadDrafts();
        ASSERT_EQ(drafts.size(), 1u) << printed;
        ASSERT_TRUE(drafts[0].mainVideo && drafts[0].pipVideo);
        EXPECT_NEAR(decodedSeconds(localFile(drafts[0].mainVideo)), screenSeconds, 0.01);
        EXPECT_GE(decodedSeconds(localFile(drafts[0].pipVideo)), kSeconds - 2.5);
        EXPECT_NEAR(drafts[0].duration, screenSeconds, 0.5);
        EXPECT_TRUE(fs::is_empty(folders.recordings()));
    }
}

// A full disk stops the recording at once with a clear message and a failing exit, and what
// was written before it still plays.
TEST(ZimloToolRecord, AFullDiskStopsTheRecordingAndFails) {
    zimlo::sandbox::XvfbServer xvfb("640x480x24");
    xvfb.exportDisplay();
    zimlo::sandbox::PulseServer::shared();
    std::string tool = std::string(ZIMLO_BINARY_DIR) + "/tools/zimlo-tool/zimlo-tool";
    auto targets = ScreenCaptureTargetProvider::buildTargets(
        zimlo::test::valueOrFailure(x11::listCaptureTargets(xvfb.displayName().c_str())),
        ::getpid());
    ASSERT_FALSE(targets.empty());
    auto dir = fs::temp_directory_path() / ("zimlo-full-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m") != 0) {
        fs::remove_all(dir);
        GTEST_SKIP() << "mounting a 1 MiB tmpfs needs root (CAP_SYS_ADMIN): "
                     << std::strerror(errno);
    }
    test::AnimatedScreen animation(xvfb.displayName(), {0, 0, 640, 480},
                                   test::AnimatedScreen::noise);
    auto started = std::chrono::steady_clock::now();
    int status = -1;
    std::string printed = zimlo::test::commandOutput(
        "XDG_STATE_HOME='" + dir.string() + "' " + tool + " record --target " + targets.front().id +
            " --seconds 120 --generated-camera 2>&1",
        status);
    auto elapsed = std::chrono::steady_clock::now() - started;
    animation.stop();

    EXPECT_NE(status, 0) << printed;
    EXPECT_NE(printed.find("recording stopped: "), std::string::npos) << printed;
    EXPECT_NE(printed.find(std::strerror(ENOSPC)), std::string::npos) << printed;
    EXPECT_LT(elapsed, std::chrono::seconds(60)) << "the recording went on on a full disk";
    EXPECT_GE(decodedSeconds(moviesIn(dir).screen), 0.0) << "nothing playable was kept";
    ::umount2(dir.c_str(), MNT_DETACH);
    fs::remove_all(dir);
}

// Seconds of a movie's stream ("v:0", "a:0"), by its last packet's end.
double streamSeconds(const std::string& movie, const std::string& stream) {
    int status = 0;
    std::string out = zimlo::test::commandOutput(
        "ffprobe -v error -select_streams " + stream +
            " -show_entries packet=pts_time,duration_time -of csv=p=0 '" + movie + "' | tail -1",
        status);
    double pts = 0, duration = 0;
    std::sscanf(out.c_str(), "%lf,%lf", &pts, &duration);
    return pts + duration;
}

// A recording of a busy 640x480 screen whose microphone is fed a 440 Hz tone by ffmpeg, through
// the private sound server's pipe source.
class FedMicrophone {
  public:
    // `seconds` of tone, written as fast as the pipe takes it or, `inRealTime`, at its pace.
    FedMicrophone(int seconds, bool inRealTime)
        : xvfb_("640x480x24"), pulse_((xvfb_.exportDisplay(), sandbox::PulseServer::shared())) {
        const auto list = x11::listCaptureTargets(xvfb_.displayName().c_str());
        auto targets = ScreenCaptureTargetProvider::buildTargets(zimlo::test::valueOrFailure(list),
                                                                 ::getpid());
        if (!targets.empty()) target_ = targets.front().id;
        const std::string tone =
            "sine=frequency=440:sample_rate=48000:duration=" + std::to_string(seconds);
        feeder_ = ::fork();
        if (feeder_ == 0) {
            if (inRealTime)
                ::execlp("ffmpeg", "ffmpeg", "-v", "error", "-re", "-f", "lavfi", "-i",
                         tone.c_str(), "-ac", "1", "-f", "s16le", "-y",
                         pulse_.microphonePipe().c_str(), static_cast<char*>(nullptr));
            else
                ::execlp("ffmpeg", "ffmpeg", "-v", "error", "-f", "lavfi", "-i", tone.c_str(),
                         "-ac", "1", "-f", "s16le", "-y", pulse_.microphonePipe().c_str(),
                         static_cast<char*>(nullptr));
            ::_exit(127);
        }
        animation_.emplace(xvfb_.displayName(), test::AnimatedScreen::Area{0, 0, 640, 480},
                           test::AnimatedScreen::noise);
    }
    ~FedMicrophone() {
        animation_.reset();
        if (feeder_ > 0 && !fed_) {
            ::kill(feeder_, SIGKILL);
            ::waitpid(feeder_, nullptr, 0);
        }
    }
    FedMicrophone(const FedMicrophone&) = delete;
    FedMicrophone& operator=(const FedMicrophone&) = delete;

    bool ready() const { return feeder_ > 0 && !target_.empty(); }
    sandbox::PulseServer& pulse() { return pulse_; }
    // `zimlo-tool record` of the screen with the microphone for `seconds`; its output.
    std::string record(int seconds, int& status) const {
        return zimlo::test::commandOutput(
            std::string(ZIMLO_BINARY_DIR) + "/tools/zimlo-tool/zimlo-tool record --target " +
                target_ + " --seconds " + std::to_string(seconds) + " --fps 30 --mic 2>&1",
            status);
    }
    void stopAnimation() { animation_.reset(); }
    // Whether the feeder has written all of its tone and ended well (without waiting).
    bool fedAll() {
        int result = -1;
        if (!fed_ && ::waitpid(feeder_, &result, WNOHANG) == feeder_)
            fed_ = WIFEXITED(result) && WEXITSTATUS(result) == 0;
        return fed_;
    }

  private:
    sandbox::XvfbServer xvfb_;
    sandbox::PulseServer& pulse_;
    std::string target_;
    pid_t feeder_ = -1;
    bool fed_ = false;
    std::optional<test::AnimatedScreen> animation_;
};

// A microphone that lets a backlog go at once: 20 s of sound wait in its pipe, their writer
// blocked while nobody records, and pour in as soon as the recording opens it (a device after
// an overrun does the same). In a 3 s recording of a busy screen neither sound track outlasts
// the pictures, and the movie lasts no longer than the recording did.
TEST(ZimloToolRecord, AMicrophoneBacklogDoesNotOutlastTheRecording) {
    FedMicrophone microphone(20, false);
    ASSERT_TRUE(microphone.ready());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // blocked on the full pipe

    int status = -1;
    const auto started = std::chrono::steady_clock::now();
    const std::string printed = microphone.record(3, status);
    const std::chrono::duration<double> ran = std::chrono::steady_clock::now() - started;
    microphone.stopAnimation();
    ASSERT_EQ(status, 0) << printed;
    EXPECT_TRUE(microphone.fedAll()) << "the 20 s backlog did not pour in during the recording";
    const std::string movie = valueAfter(printed, "screen movie: ");
    ASSERT_TRUE(fs::exists(movie)) << printed;
    const double pictures = streamSeconds(movie, "v:0");
    EXPECT_GT(pictures, 2.0);
    EXPECT_LE(streamSeconds(movie, "a:0"), pictures + 0.25);
    EXPECT_LE(streamSeconds(movie, "a:1"), pictures + 0.25) << "the microphone's sound";
    const double length = std::stod(zimlo::test::commandOutput(
        "ffprobe -v error -show_entries format=duration -of csv=p=0 '" + movie + "'", status));
    EXPECT_LT(length, ran.count()) << "longer than the whole run of the recorder";
    fs::remove(movie);
}

// The longest stretch of the microphone track (its second sound track) without the tone, in
// seconds, from its first tone on.
double longestQuietInMicrophone(const std::string& movie) {
    int status = 0;
    const std::string raw = zimlo::test::commandOutput(
        "ffmpeg -v error -i '" + movie + "' -map 0:a:1 -ac 1 -ar 8000 -f s16le -", status);
    std::vector<int16_t> samples(raw.size() / 2);
    std::memcpy(samples.data(), raw.data(), samples.size() * 2);
    double longest = 0;
    std::optional<size_t> lastLoud;
    for (size_t i = 0; i < samples.size(); ++i) {
        if (std::abs(samples[i]) < 3000) continue;
        if (lastLoud) longest = std::max(longest, static_cast<double>(i - *lastLoud) / 8000);
        lastLoud = i;
    }
    return lastLoud ? longest : 1e9;
}

// A microphone held up in the middle of a recording (its device stalls: a pipe source whose
// reader was suspended, a USB or Bluetooth device after an xrun) while its writer keeps to real
// time: the writer falls a second behind and pours the backlog in at once when the source
// goes on. That sound belongs to the hold-up, where it was said: the microphone's tone has no
// hole there, and neither sound track outlasts the pictures by more than a frame.
TEST(ZimloToolRecord, AMicrophoneHeldUpDuringTheRecordingPutsItsBacklogInPlace) {
    FedMicrophone microphone(30, true);
    ASSERT_TRUE(microphone.ready());
    auto suspend = [&](bool held) {
        int status = -1;
        zimlo::test::commandOutput("pactl suspend-source " + microphone.pulse().microphoneName() +
                                       (held ? " 1" : " 0") + " 2>&1",
                                   status);
        return status == 0;
    };

    int status = -1;
    std::string printed;
    std::thread recording([&] { printed = microphone.record(8, status); });
    // Three times, as where the server's timing reports fall differs from one to the next.
    const auto started = std::chrono::steady_clock::now();
    bool heldUp = true, wentOn = true;
    for (int second : {2, 4, 6}) {
        std::this_thread::sleep_until(started + std::chrono::seconds(second));
        heldUp = suspend(true) && heldUp;
        std::this_thread::sleep_until(started + std::chrono::milliseconds(second * 1000 + 1200));
        wentOn = suspend(false) && wentOn;
    }
    recording.join();
    microphone.stopAnimation();
    ASSERT_TRUE(heldUp && wentOn) << "pactl could not suspend the microphone";
    ASSERT_EQ(status, 0) << printed;
    const std::string movie = valueAfter(printed, "screen movie: ");
    ASSERT_TRUE(fs::exists(movie)) << printed;
    const double pictures = streamSeconds(movie, "v:0");
    EXPECT_GT(pictures, 7.0);
    EXPECT_LE(streamSeconds(movie, "a:0"), pictures + 0.04);
    EXPECT_LE(streamSeconds(movie, "a:1"), pictures + 0.04) << "the microphone's sound";
    EXPECT_LT(longestQuietInMicrophone(movie), 0.1) << "the backlog is not where it was said";
    fs::remove(movie);
}

// The sound server dies and comes back, then freezes and goes on, during a recording: each loss
// and return is reported, the picture never stops, and the computer's sound track still lasts as
// long as the picture (the gaps are silence), with the sound played after the return in it.
// Without any sound server the picture alone is recorded, and that is said.
TEST(ZimloToolRecord, ASoundServerThatGoesAwayIsReportedAndRejoined) {
    zimlo::sandbox::XvfbServer xvfb("640x480x24");
    xvfb.exportDisplay();
    auto& pulse = zimlo::sandbox::PulseServer::shared();
    std::string tool = std::string(ZIMLO_BINARY_DIR) + "/tools/zimlo-tool/zimlo-tool";
    auto targets = ScreenCaptureTargetProvider::buildTargets(
        zimlo::test::valueOrFailure(x11::listCaptureTargets(xvfb.displayName().c_str())),
        ::getpid());
    ASSERT_FALSE(targets.empty());
    ToolFolders folders("tool-sound");
    const std::string record =
        folders.environment() + tool + " record --target " + targets.front().id + " --seconds ";

    int status = -1;
    std::string printed;
    std::thread recording(
        [&] { printed = zimlo::test::commandOutput(record + "14 2>&1", status); });
    auto at = [start = std::chrono::steady_clock::now()](double seconds) {
        std::this_thread::sleep_until(start +
                                      std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
    };
    at(3);
    pulse.kill();
    at(5);
    pulse.restart();
    std::atomic<bool> stop{false};
    std::thread tone([&] { zimlo::sandbox::playToneUntilStopped(1000, stop); });
    at(8);
    pulse.freeze();
    at(11);
    pulse.thaw();
    recording.join();
    stop = true;
    tone.join();

    ASSERT_EQ(status, 0) << printed;
    const auto lost = printed.find("system audio: lost");
    ASSERT_NE(lost, std::string::npos) << printed;
    const auto back = printed.find("system audio: back", lost);
    ASSERT_NE(back, std::string::npos) << printed;
    const auto lostAgain = printed.find("system audio: lost", back);
    ASSERT_NE(lostAgain, std::string::npos) << printed;
    EXPECT_NE(printed.find("system audio: back", lostAgain), std::string::npos) << printed;
    const std::string movie = valueAfter(printed, "screen movie: ");
    ASSERT_TRUE(fs::exists(movie)) << printed;
    const double pictures = streamSeconds(movie, "v:0");
    EXPECT_GT(pictures, 12.0);
    EXPECT_GE(streamSeconds(movie, "a:0"), pictures - 0.25);  // no shorter than the picture
    // The tone played after the return is in the sound track.
    std::string raw = zimlo::test::commandOutput(
        "ffmpeg -v error -i '" + movie + "' -map 0:a:0 -ss 6 -t 2 -ac 1 -ar 48000 -f f32le -",
        status);
    float loudest = 0;
    for (size_t i = 0; i + 4 <= raw.size(); i += 4) {
        float v;
        std::memcpy(&v, raw.data() + i, 4);
        loudest = std::max(loudest, std::fabs(v));
    }
    EXPECT_GT(loudest, 0.3f);
    fs::remove(movie);

    // No sound server at all: the picture is recorded, with a silent track at least as long.
    pulse.kill();
    printed = zimlo::test::commandOutput(record + "3 2>&1", status);
    EXPECT_EQ(status, 0) << printed;
    EXPECT_NE(printed.find("system audio: unavailable"), std::string::npos) << printed;
    const std::string silent = valueAfter(printed, "screen movie: ");
    ASSERT_TRUE(fs::exists(silent)) << printed;
    EXPECT_GE(streamSeconds(silent, "a:0"), streamSeconds(silent, "v:0") - 0.25);
    fs::remove(silent);
    pulse.restart();
}

}  // namespace
}  // namespace zimlo::capture
