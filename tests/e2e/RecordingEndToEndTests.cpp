// One whole recording through the application's real windows: home, picker, recording window
// with camera window and subtitles, stop, and the finished draft back in the home grid. The
// movie is then checked for what went in: screen, camera window at both of its places, burned
// subtitles while words were spoken, and both sounds in its one sound track.
//
// ZIMLO_E2E_RECORD_SECONDS (default 6) sets the recording's length, ZIMLO_E2E_RESOLUTION
// ("720p" by default, "1080p", "4K") the recording resolution and ZIMLO_E2E_FPS (30 by default,
// 60) its frame rate; ZIMLO_E2E_FOLLOW=0 leaves all of the composition to after the stop;
// ZIMLO_E2E_CATCH_UP=0 presses stop without first letting the composition catch up (a user's stop,
// as the benchmark times it);
// ZIMLO_E2E_KEEP_DIR keeps hard links to the raw recorded movies and a description of the
// recording there (for bench/finish.sh). The line "ZIMLO_E2E_FINISH ..." reports the time from
// the stop press to the listed draft, "ZIMLO_E2E_FOLLOW ..." how the composition made while
// recording kept up and what the recording cost.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "E2ESupport.h"
#include "MediaChecks.h"
#include "app/DraftCard.h"
#include "app/HomeView.h"
#include "app/HomeWindowController.h"
#include "app/RecordingWindowHandle.h"
#include "app/SourceCardView.h"
#include "app/SourcePickerView.h"
#include "compose/VideoCompositor.h"
#include "driver/ShellDriver.h"
#include "model/DraftStore.h"
#include "model/RecordingProject.h"
#include "model/RecordingSettings.h"
#include "platform/camera/GeneratedCamera.h"
#include "platform/media/AssetReader.h"
#include "platform/media/MonotonicClock.h"
#include "recording/DraggablePiPView.h"
#include "recording/DraggableSubtitleView.h"
#include "recording/Permissions.h"
#include "recording/RecordingView.h"
#include "recording/RecordingWindow.h"
#include "sandbox/MovingWindow.h"
#include "sandbox/PulseServer.h"
#include "sandbox/SoundFeeds.h"
#include "sandbox/SpeechFeed.h"
#include "subtitles/SubtitleFiles.h"
#include "support/ResultValue.h"

namespace zimlo::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using recording::RecordingView;

constexpr double kToneFrequency = 5000;  // above the speech band, so the two are told apart
constexpr double kLeadingSilence =
    1.2;                        // before the first words, measured from the recording's start
constexpr double kPause = 1.0;  // between sentences: long enough to end an utterance
const RGB kCameraBackground{0x80, 0x60, 0x20};  // GeneratedCamera's default background
const RGB kMovingWindowColour{0x00, 0xc8, 0x50};

double now() { return media::MonotonicClock::nowSeconds(); }

// CPU seconds this process (every thread) has used.
double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double recordSeconds() {
    const char* text = std::getenv("ZIMLO_E2E_RECORD_SECONDS");
    const double seconds = text ? std::atof(text) : 6.0;
    return seconds >= 4 ? seconds : 6.0;
}

CaptureFrameRate recordingFrameRate() {
    const char* text = std::getenv("ZIMLO_E2E_FPS");
    return text && std::atoi(text) == 60 ? CaptureFrameRate::fps60 : CaptureFrameRate::fps30;
}

bool composesWhileRecording() {
    const char* text = std::getenv("ZIMLO_E2E_FOLLOW");
    return !(text && std::string(text) == "0");
}

bool waitsForTheCompositionBeforeStopping() {
    const char* text = std::getenv("ZIMLO_E2E_CATCH_UP");
    return !(text && std::string(text) == "0");
}

// The application's recording window, with everything composed after the stop.
class PostStopRecordingWindow : public app::RecordingWindowHandle {
  public:
    explicit PostStopRecordingWindow(const capture::ScreenCaptureTarget& target)
        : window_(target, dependencies()) {}
    QWidget* window() override { return window_.window(); }
    void setOnFinish(std::function<void(const RecordingProject&)> onFinish) override {
        window_.setOnFinish(std::move(onFinish));
    }
    void setOnCancel(std::function<void()> onCancel) override {
        window_.setOnCancel(std::move(onCancel));
    }

  private:
    static RecordingView::Dependencies dependencies() {
        RecordingView::Dependencies deps;
        deps.finishServices.composesWhileRecording = false;
        return deps;
    }
    recording::RecordingWindow window_;
};

// Frames in a movie.
int countFrames(const fs::path& movie) {
    auto asset = media::MovieAsset::open(movie);
    if (!asset || (*asset)->tracks(media::MediaType::video).empty()) return 0;
    auto reader = media::TrackPacketReader::open(
        **asset, (*asset)->tracks(media::MediaType::video).front().trackID);
    if (!reader) return 0;
    int frames = 0;
    while ((*reader)->next()) ++frames;
    return frames;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

RecordingResolution recordingResolution() {
    const char* text = std::getenv("ZIMLO_E2E_RESOLUTION");
    const std::string wanted = text && *text ? text : "720p";
    for (const auto& preset : RecordingResolution::presets())
        if (preset.displayName == wanted) return preset;
    throw std::runtime_error("unknown resolution " + wanted);
}

// A keyframe's window on a canvas, as the compositor places it.
PixelRect pipRect(const PiPKeyframe& k, int width, int height) {
    const double w = width * k.size.width, h = height * k.size.height;
    const int left = static_cast<int>(std::lround(width * k.center.x - w / 2));
    const int top = static_cast<int>(std::lround(height * k.center.y - h / 2));
    return {left, top, static_cast<int>(std::lround(w)), static_cast<int>(std::lround(h))};
}

// The middle of a rectangle, away from rounded corners and the border.
PixelRect inner(PixelRect r) {
    return {r.x + r.width / 4, r.y + r.height / 4, r.width / 2, r.height / 2};
}

// Where burned subtitles can appear for a layout: the block's width around its centre, and from
// well above the centre (two lines) to a little below it.
PixelRect subtitleBox(const SubtitleLayout& layout, int width, int height) {
    const double w = std::clamp(layout.maxWidth, 0.2, 1.0) * width;
    return {static_cast<int>(layout.center.x * width - w / 2),
            static_cast<int>((layout.center.y - 0.16) * height), static_cast<int>(w),
            static_cast<int>(0.24 * height)};
}

std::string readText(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Zimlo's files in `dir` and in the folders inside it (a recording's own).
std::vector<fs::path> recordingFilesIn(const fs::path& dir) {
    std::vector<fs::path> found;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename().string().rfind("zimlo_", 0) == 0) found.push_back(it->path());
        if (std::error_code inner; it->is_directory(inner))
            for (const auto& file : recordingFilesIn(it->path())) found.push_back(file);
    }
    return found;
}

class RecordingEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        recording::Permissions::setStatusProvider(
            [](recording::PermissionKind) { return recording::AuthorizationStatus::authorized; });
        camera::setCameraDiscovery([] { return std::make_shared<camera::GeneratedCamera>(); });
        const auto resolution = recordingResolution();
        ASSERT_TRUE(RecordingSettingsStore::shared()->save(
            RecordingSettings(resolution, recordingFrameRate())));
    }
    void TearDown() override {
        shell.reset();
        pumpFor(200ms);
        camera::setCameraDiscovery(nullptr);
        recording::Permissions::setStatusProvider(nullptr);
    }

    std::shared_ptr<app::HomeWindowController> shell;
};

TEST_F(RecordingEndToEnd, DisplayWithCameraWindowAndSubtitlesEndsAsAComposedDraftInTheHomeGrid) {
    const auto& env = environment();
    const double seconds = recordSeconds();
    const auto resolution = recordingResolution();
    // The raw movies are kept (linked) to hold the draft against an export of them after it.
    const char* keepDirText = std::getenv("ZIMLO_E2E_KEEP_DIR");
    const bool describesRecording = keepDirText && *keepDirText;
    const fs::path keepDir = describesRecording ? fs::path(keepDirText) : env.root / "raw";

    // Another application's window slides along the top of the display while we record.
    sandbox::MovingWindow movingWindow(env.display, 60, 700, 60);

    // Home (an empty gallery), the picker, the display, the recording window with the camera
    // window and subtitles on; a tone plays in the speakers from before the recording to its end.
    auto services = app::ShellServices::system();
    const bool follows = composesWhileRecording();
    if (!follows)
        services.recordingWindows = [](const capture::ScreenCaptureTarget& target) {
            return std::make_shared<PostStopRecordingWindow>(target);
        };
    shell = app::HomeWindowController::create(services);
    shell->window()->show();
    driver::ShellDriver::Observer observer;
    // When each status line appeared, to tell the finish's stages apart.
    std::vector<std::pair<double, std::string>> statusTimes;
    observer.onStatus = [&statusTimes](const std::string& text) {
        statusTimes.emplace_back(now(), text);
        std::printf("status: %s\n", text.c_str());
    };
    driver::ShellDriver driver(shell, observer);
    ASSERT_EQ(driver.waitForHome(), 0u) << "the private home already holds drafts";
    driver.openPicker();
    ASSERT_TRUE(shell->sourcePicker()->targets().front().kind.isDisplay());
    driver.pickDisplay();
    RecordingView* view = driver.waitForRecordingWindow();
    sandbox::SoundFeeds sounds(*env.pulse);
    sounds.playTone(kToneFrequency);
    driver.turnCameraOn();
    driver.turnSubtitlesOn();
    driver.pumpFor(500ms);  // a few camera frames in the window

    // Record: the tone is playing by now, speech follows the start. Time 0 of the recording is
    // on the monotonic clock the window and the feeders share.
    const double cpuAtStart = processCpuSeconds();
    const double recordingStarted = driver.startRecording();
    ASSERT_NEAR(recordingStarted, now(), 5.0);
    // How far the composition made while recording lags behind the recording.
    // How far the subtitles' settled time, which the composition may not pass, lags behind it.
    std::vector<double> lags, settledLags;
    QTimer lagSampler;
    QObject::connect(&lagSampler, &QTimer::timeout, [&] {
        const auto& follower = view->finishPipeline().follower();
        if (!view->isRecording()) return;
        const double elapsed = now() - recordingStarted;
        if (follower) lags.push_back(elapsed - follower->composedSeconds());
        settledLags.push_back(elapsed - std::min(view->subtitles().settledTime(), elapsed));
    });
    lagSampler.start(250);
    std::vector<sandbox::SpokenSentence> spoken;
    sounds.speak(sandbox::librivoxSpeech(seconds, kLeadingSilence, kPause, spoken));

    // The raw movies, linked while they are written so the finish's clean-up leaves us a copy.
    std::vector<std::string> keepProblems;
    {
        fs::create_directories(keepDir);
        ASSERT_TRUE(
            driver.pumpUntil([&] { return recordingFilesIn(env.recordings).size() >= 2; }, 20s));
        for (const auto& file : recordingFilesIn(env.recordings)) {
            const std::string name = file.filename().string();
            const fs::path link =
                keepDir / (name.rfind("zimlo_screen_", 0) == 0 ? "screen.mov" : "camera.mov");
            std::error_code ec;
            fs::remove(link, ec);
            fs::create_hard_link(file, link, ec);
            if (ec) keepProblems.push_back(name + ": " + ec.message());
        }
    }
    EXPECT_TRUE(keepProblems.empty()) << keepProblems.front();

    // Drag the camera window once, a little before the middle, towards the lower left.
    driver.pumpFor(std::chrono::milliseconds(static_cast<int>(seconds * 450)));
    recording::DraggablePiPView* pip = view->pipView();
    ASSERT_TRUE(pip);
    QWidget* container = pip->parentWidget();
    ASSERT_EQ(container, view->previewContainer());
    const QPoint from = pip->geometry().center();
    const QPoint to(container->width() / 4, container->height() * 58 / 100);
    const size_t keyframesBeforeDrag = view->pipTrack().size();
    // Positions are given in the container and mapped into the window as it is at each step.
    QTest::mousePress(pip, Qt::LeftButton, {}, pip->mapFromParent(from));
    for (int step = 1; step <= 6; ++step) {
        driver.pumpFor(30ms);
        QTest::mouseMove(pip, pip->mapFromParent(from + (to - from) * step / 6));
    }
    QTest::mouseRelease(pip, Qt::LeftButton, {}, pip->mapFromParent(to));
    ASSERT_GT(view->pipTrack().size(), keyframesBeforeDrag) << "the drag recorded no keyframe";

    // Stop when the recording has run its length and the recogniser has finished a sentence (on a
    // busy machine it runs behind the speech); the finish runs until the home grid lists it.
    driver.pumpFor(std::chrono::milliseconds(
        static_cast<int>(std::max(0.0, recordingStarted + seconds - now()) * 1000)));
    driver.waitForSubtitle();
    // The composition runs on idle time only and may not pass the subtitles' settled time: on a
    // machine busy with other work it can be far behind when the first sentence turns final. The
    // stop waits (bounded) until it has caught up with what is settled, so that what is checked
    // is the composition made while recording; the wait is printed beside the figures.
    const double catchUpBegan = now();
    if (follows && waitsForTheCompositionBeforeStopping()) {
        const auto& follower = view->finishPipeline().follower();
        ASSERT_TRUE(follower) << "nothing composes while recording";
        EXPECT_TRUE(driver.pumpUntil(
            [&] {
                const double settled =
                    std::min(view->subtitles().settledTime(), now() - recordingStarted);
                return follower->composedSeconds() >= settled - 0.2;
            },
            120s))
            << "composed " << follower->composedSeconds() << " s of "
            << view->subtitles().settledTime() << " s settled";
    }
    const double caughtUpWait = now() - catchUpBegan;
    const std::vector<PiPKeyframe> pipTrack = view->pipTrack();
    const double recorded = now() - recordingStarted;
    const double cpuAtStop = processCpuSeconds();
    lagSampler.stop();
    const double stopPressed = now();
    const driver::FinishedRecording finished = driver.stopAndWaitForDraft();
    const double finishTime = finished.finishSeconds;
    const double finishCpu = processCpuSeconds() - cpuAtStop;
    const std::vector<SubtitleSegment>& subtitleTrack = finished.subtitles;
    const std::string& heard = finished.lastHeard;
    sounds.stop();
    EXPECT_EQ(sounds.problem(), "");

    // The stored draft.
    const auto drafts = DraftStore::shared()->loadDrafts();
    ASSERT_EQ(drafts.size(), 1u);
    const RecordingProject& draft = drafts.front();
    ASSERT_TRUE(draft.mainVideo);
    const fs::path draftDir = localFile(draft.mainVideo)->parent_path();
    const RecordingProject stored = RecordingProject::fromJSON(readText(draftDir / "project.json"));
    EXPECT_EQ(stored.id, draft.id);
    EXPECT_FALSE(stored.pipVideo) << "a composed draft holds one finished movie";
    EXPECT_TRUE(stored.pipTrack.empty());
    EXPECT_EQ(stored.sourceKind, RecordingSourceKind::screen);
    const fs::path movie = *localFile(draft.mainVideo);
    EXPECT_EQ(movie.extension(), ".mp4");

    // Stages of the finish, from the stop press: the files taken over (with the last subtitles:
    // mixing starts, or the export when it mixes the sounds itself), the export started, the
    // draft saved; and what the draft store alone takes to save the same movie once more.
    auto statusSeen = [&](const std::string& text) {
        for (const auto& [at, seen] : statusTimes)
            if (at >= stopPressed && seen.rfind(text, 0) == 0) return at - stopPressed;
        return -1.0;
    };
    const double mixingSeen = statusSeen("正在同步电脑声音和输入设备声音");
    const double filesTaken = mixingSeen >= 0 ? mixingSeen : statusSeen("正在合成");
    const double storeBegan = now();
    const fs::path otherStore = env.temporary / "store-timing";
    {
        RecordingProject again = draft;
        again.id = Uuid::generate();
        ASSERT_TRUE(DraftStore(otherStore).saveDraft(again));
    }
    const double storeSeconds = now() - storeBegan;
    fs::remove_all(otherStore);
    std::printf(
        "ZIMLO_E2E_FINISH record_seconds=%.2f finish_seconds=%.2f finish_cpu_seconds=%.2f "
        "files_reported=%.2f export_started=%.2f draft_saved=%.2f store_seconds=%.3f "
        "resolution=%s "
        "draft=%s\n",
        recorded, finishTime, finishCpu, filesTaken, statusSeen("正在合成"), statusSeen("录制完成"),
        storeSeconds, resolution.displayName.c_str(), movie.c_str());
    std::fflush(stdout);

    // The composed movie was made while recording: after the stop only its end was composed.
    const int fps = rawValue(recordingFrameRate());
    const int rawFrames = countFrames(keepDir / "screen.mov");
    const auto& composition = finished.composition;
    std::printf(
        "ZIMLO_E2E_FOLLOW followed=%d frames_after_stop=%lld frame_count=%lld lag_median=%.2f "
        "lag_max=%.2f settled_lag_median=%.2f settled_lag_max=%.2f catch_up_wait=%.2f "
        "raw_frames=%d expected_frames=%.0f cpu_per_second=%.3f fallback=\"%s\"\n",
        composition && composition->followed ? 1 : 0,
        static_cast<long long>(composition ? composition->framesAfterStop : -1),
        static_cast<long long>(composition ? composition->frameCount : -1), median(lags),
        lags.empty() ? 0.0 : *std::max_element(lags.begin(), lags.end()), median(settledLags),
        settledLags.empty() ? 0.0 : *std::max_element(settledLags.begin(), settledLags.end()),
        caughtUpWait, rawFrames, recorded * fps, (cpuAtStop - cpuAtStart) / recorded,
        composition ? composition->fallbackReason.c_str() : "");
    std::fflush(stdout);
    ASSERT_TRUE(composition) << "the draft was not composed";
    if (follows) {
        EXPECT_TRUE(composition->followed) << composition->fallbackReason;
        EXPECT_GT(composition->frameCount, 0);
        EXPECT_LT(composition->framesAfterStop, composition->frameCount)
            << "nothing was composed before the stop";
    } else {
        EXPECT_FALSE(composition->followed);
    }

    // The home grid lists it; nothing of the recording is left where it was made, nor in the
    // temporary folder.
    EXPECT_EQ(shell->homeView()->cardViews().size(), 1u);
    EXPECT_EQ(shell->homeView()->drafts().front().id, draft.id);
    auto leftovers = recordingFilesIn(env.temporary);
    for (const auto& file : recordingFilesIn(env.recordings)) leftovers.push_back(file);
    EXPECT_TRUE(leftovers.empty()) << leftovers.front();
    EXPECT_TRUE(fs::is_empty(env.recordings)) << "the recording's folder is gone";

    // The movie: MPEG-4, the render size, about as long as the recording, one AAC track.
    EXPECT_EQ(readText(movie).substr(4, 4), "ftyp");
    auto asset = test::valueOrFailure(media::MovieAsset::open(movie));
    ASSERT_TRUE(asset);
    const auto videos = asset->tracks(media::MediaType::video);
    const auto audios = asset->tracks(media::MediaType::audio);
    ASSERT_EQ(videos.size(), 1u);
    ASSERT_EQ(audios.size(), 1u);
    ASSERT_FALSE(audios.front().formatDescriptions.empty());
    EXPECT_EQ(audios.front().formatDescriptions.front().codecName(), "aac");
    compose::VideoCompositor compositor;
    compositor.exportLongEdge = std::max(resolution.width, resolution.height);
    media::AssetTrack captured;
    const auto capturedSize = resolution.captureSize({1920, 1080});
    captured.naturalSize = {static_cast<double>(capturedSize.width),
                            static_cast<double>(capturedSize.height)};
    const auto renderSize = compositor.renderSize(captured, stored);
    EXPECT_EQ(videos.front().naturalSize.width, renderSize.width);
    EXPECT_EQ(videos.front().naturalSize.height, renderSize.height);
    const double duration = media::availableDuration(*asset, 0);
    EXPECT_NEAR(duration, recorded, std::max(1.0, 0.1 * recorded));
    EXPECT_NEAR(stored.duration, duration, 0.5);

    // Both sounds in the one track: the tone throughout, speech where it was spoken.
    const auto sound = decodeSound(movie);
    const double speechOffset =
        sounds.speechStarted() - recordingStarted;  // feed start on the timeline
    for (auto& s : spoken) {
        s.start += speechOffset;
        s.end += speechOffset;
    }
    ASSERT_FALSE(spoken.empty());
    const double tone = toneAmplitude(sound, kToneFrequency, 0.5, duration - 0.5);
    EXPECT_GT(tone, 0.1);
    const double soundLength = static_cast<double>(sound.size()) / kSoundRate;
    // No half second may lose most of it, from the very start: the tone was playing before.
    double weakestTone = 1;
    std::string toneProfile;
    for (double t = 0.0; t + 0.5 < duration - 0.5; t += 0.5) {
        const double a = toneAmplitude(sound, kToneFrequency, t, t + 0.5);
        weakestTone = std::min(weakestTone, a);
        toneProfile += " " + std::to_string(a).substr(0, 4);
    }
    EXPECT_GT(weakestTone, 0.2) << "the computer's sound has gaps; tone by half second:"
                                << toneProfile << "; sound " << soundLength << " s of a "
                                << duration << " s movie";
    // The movie may begin a little after the recording's time 0, so the first words are found in
    // the sound (the first loud 50 ms in the speech band) and must be near where they were said.
    const sandbox::SpokenSentence& first = spoken.front();
    double onset = -1;
    for (double t = 0.1; t + 0.05 < duration && onset < 0; t += 0.05)
        if (bandLevel(sound, 150, 3500, t, t + 0.1) > 0.01) onset = t;
    ASSERT_GE(onset, 0) << "no speech in the sound track";
    EXPECT_NEAR(onset, first.start, 0.7) << "speech heard away from where it was said";
    const double quiet = bandLevel(sound, 150, 3500, 0.1, onset - 0.2);
    const double speech = bandLevel(sound, 150, 3500, onset + 0.1,
                                    std::min(onset + first.end - first.start, duration) - 0.1);
    EXPECT_GT(speech, 0.01) << "no speech in the sound track";
    EXPECT_GT(speech, 4 * quiet) << "speech " << speech << " against " << quiet << " before it";

    // Pictures: the moving window, the camera window before and after the drag, subtitles.
    ASSERT_GE(pipTrack.size(), 2u);
    const PiPKeyframe& before = pipTrack.front();
    auto moved = std::find_if(pipTrack.begin(), pipTrack.end(),
                              [&](const PiPKeyframe& k) { return k.center != before.center; });
    ASSERT_NE(moved, pipTrack.end()) << "no keyframe left the first position";
    const double dragTime = moved->time;
    const PiPKeyframe& after = pipTrack.back();
    double lastDragTime = dragTime;
    for (size_t i = 1; i < pipTrack.size(); ++i)
        if (pipTrack[i].center != pipTrack[i - 1].center) lastDragTime = pipTrack[i].time;
    ASSERT_GT(dragTime, 1.2) << "the drag came too early to see the first position";
    ASSERT_LT(lastDragTime + 1.0, duration) << "the drag came too late to see the second position";

    const int W = renderSize.width, H = renderSize.height;
    const PixelRect firstPlace = inner(pipRect(before, W, H)),
                    secondPlace = inner(pipRect(after, W, H));
    const PixelRect box = subtitleBox(stored.subtitleLayout, W, H);
    const double beforeDrag = dragTime - 0.6, afterDrag = lastDragTime + 0.8;
    double seenBefore = -1, seenAfter = -1;
    // The moving window: in every picture, and the pictures follow it.
    int framesWithoutWindow = 0;
    double leftmost = 1e9, rightmost = -1e9;
    // Subtitles: recognised where words were spoken, and burned in while each one lasts.
    ASSERT_FALSE(subtitleTrack.empty())
        << "no subtitle segment; the live caption last heard \"" << heard << "\"";
    for (const auto& segment : subtitleTrack) {
        const bool whileSpeaking = std::any_of(spoken.begin(), spoken.end(), [&](const auto& s) {
            return segment.startTime >= s.start - 0.5 && segment.startTime <= s.end + 0.5;
        });
        EXPECT_TRUE(whileSpeaking) << "\"" << segment.text << "\" starts at " << segment.startTime
                                   << " s, when nothing was said";
    }
    auto insideSegment = [&](double t) {
        return std::any_of(subtitleTrack.begin(), subtitleTrack.end(),
                           [&](const SubtitleSegment& segment) {
                               return t >= segment.startTime + 0.15 &&
                                      t <= std::min(segment.endTime, duration) - 0.15;
                           });
    };
    const double firstSubtitle =
        std::min_element(subtitleTrack.begin(), subtitleTrack.end(), [](auto& a, auto& b) {
            return a.startTime < b.startTime;
        })->startTime;
    int framesInSegments = 0, subtitledInSegments = 0, subtitledBeforeSpeech = 0;
    const int windowArea =
        sandbox::MovingWindow::kWidth * sandbox::MovingWindow::kHeight * W / 1920 * H / 1080;
    int frameIndex = 0;
    forEachFrame(movie, [&](double t, const media::PixelBuffer& picture) {
        auto check = [&](double& seen, double at, const PixelRect& here, const PixelRect& there,
                         const char* when) {
            if (seen >= 0 || t < at) return;
            seen = t;
            const double atHere = colourShare(picture, here, kCameraBackground, 40);
            const double atThere = colourShare(picture, there, kCameraBackground, 40);
            std::printf("camera window %s the drag (%.2f s): %.2f here, %.2f at the other place\n",
                        when, t, atHere, atThere);
            EXPECT_GT(atHere, 0.5)
                << "camera window missing " << when << " the drag, at " << t << " s";
            EXPECT_LT(atThere, 0.1) << "camera window still (or already) at its other place "
                                    << when << " the drag, at " << t << " s";
        };
        check(seenBefore, beforeDrag, firstPlace, secondPlace, "before");
        check(seenAfter, afterDrag, secondPlace, firstPlace, "after");
        if (++frameIndex % 10 == 0) {
            const ColourSpot spot = findColour(picture, kMovingWindowColour, 40);
            if (spot.count < windowArea / 3) {
                ++framesWithoutWindow;
            } else {
                leftmost = std::min(leftmost, spot.centerX);
                rightmost = std::max(rightmost, spot.centerX);
            }
        }
        const int subtitlePixels = outlinedWhitePixels(picture, box);
        if (t > 0.2 && t < std::min(first.start, firstSubtitle) - 0.3 && subtitlePixels >= 40)
            ++subtitledBeforeSpeech;
        if (insideSegment(t)) {
            ++framesInSegments;
            if (subtitlePixels >= 40) ++subtitledInSegments;
        }
        return true;
    });
    std::printf(
        "measured: tone %.3f (weakest half second %.3f), speech %.4f (from %.2f s) against %.4f "
        "before it; %zu subtitles, %d of %d frames inside "
        "them subtitled; moving window between x %.0f and %.0f\n",
        tone, weakestTone, speech, onset, quiet, subtitleTrack.size(), subtitledInSegments,
        framesInSegments, leftmost, rightmost);
    for (const auto& segment : subtitleTrack)
        std::printf("subtitle %.2f-%.2f \"%s\"\n", segment.startTime, segment.endTime,
                    segment.text.c_str());
    EXPECT_GE(seenBefore, 0) << "no frame before the drag";
    EXPECT_GE(seenAfter, 0) << "no frame after the drag";
    EXPECT_EQ(framesWithoutWindow, 0) << "the moving window is missing from some pictures";
    EXPECT_GT(rightmost - leftmost, 0.05 * W) << "the pictures did not follow the moving window";
    EXPECT_GT(framesInSegments, 0);
    EXPECT_GE(subtitledInSegments, framesInSegments * 8 / 10)
        << subtitledInSegments << " of " << framesInSegments
        << " frames inside subtitles show them";
    EXPECT_EQ(subtitledBeforeSpeech, 0) << "subtitle-like pixels before any word";

    // The draft is the movie the export makes of the raw recording after the stop: the same
    // streams, frames and length, pictures alike, the same subtitles at the same times. (Short
    // recordings only; the finish benchmark compares its long ones itself.)
    if (seconds <= 20) {
        RecordingProject raw;
        raw.id = Uuid::generate();
        raw.mainVideo = keepDir / "screen.mov";
        raw.pipVideo = keepDir / "camera.mov";
        raw.duration = recorded;
        raw.pipTrack = pipTrack;
        raw.subtitleTrack = subtitleTrack;
        std::stable_sort(raw.subtitleTrack.begin(), raw.subtitleTrack.end(),
                         [](const auto& a, const auto& b) { return a.startTime < b.startTime; });
        raw.subtitleLayout = stored.subtitleLayout;
        raw.emphasizesSubtitleKeywords = true;
        raw.aspect.isPiPEnabled = true;
        auto exporter = std::make_shared<compose::VideoCompositor>();
        exporter->exportLongEdge = std::max(resolution.width, resolution.height);
        exporter->exportFrameRate = fps;
        exporter->exportDirectory = env.root;
        std::optional<compose::VideoCompositor::Result> exported;
        exporter->exportMovie(raw, true, 0, std::nullopt,
                              [&](compose::VideoCompositor::Result r) { exported = std::move(r); });
        ASSERT_TRUE(pumpUntil([&] { return exported.has_value(); }, std::chrono::minutes(5)));
        ASSERT_TRUE(exported->ok()) << exported->error().description();
        const fs::path reference = **exported;
        auto referenceAsset = test::valueOrFailure(media::MovieAsset::open(reference));
        ASSERT_TRUE(referenceAsset);
        EXPECT_EQ(referenceAsset->tracks(media::MediaType::video).size(), videos.size());
        EXPECT_EQ(referenceAsset->tracks(media::MediaType::audio).size(), audios.size());
        EXPECT_NEAR(countFrames(movie), countFrames(reference), 1);
        EXPECT_NEAR(duration, media::availableDuration(*referenceAsset, 0), 1.0 / fps + 1e-6);
        // Pictures: the same frames, encoded apart (the export may choose a faster encoder).
        std::vector<std::vector<uint8_t>> sampled;
        int index = 0;
        forEachFrame(reference, [&](double, const media::PixelBuffer& p) {
            if (index++ % 15 == 0)
                sampled.emplace_back(p.data(), p.data() + size_t(p.stride()) * p.height());
            return true;
        });
        index = 0;
        double worst = 1e9;
        forEachFrame(movie, [&](double, const media::PixelBuffer& p) {
            if (index % 15 == 0 && size_t(index / 15) < sampled.size()) {
                const auto& other = sampled[index / 15];
                double squared = 0;
                size_t count = 0;
                for (int y = 0; y < p.height(); ++y)
                    for (int x = 0; x < p.width(); ++x)
                        for (int c = 0; c < 3; ++c) {
                            const size_t at = size_t(y) * p.stride() + 4 * x + c;
                            const double d = double(p.data()[at]) - double(other[at]);
                            squared += d * d;
                            ++count;
                        }
                const double mse = squared / std::max<size_t>(count, 1);
                worst = std::min(worst, mse > 0 ? 10 * std::log10(255.0 * 255.0 / mse) : 99.0);
            }
            ++index;
            return true;
        });
        std::printf("draft against the export after the stop: worst sampled PSNR %.1f dB\n", worst);
        EXPECT_GT(worst, 30.0) << "the draft's pictures differ from the export's";
        const auto cues =
            readSubtitleFile(draftDir / "subtitles.srt", SubtitleFileFormat::srt).valueOr({});
        const auto expected = compose::VideoCompositor::exportedSubtitles(raw, 0, std::nullopt);
        ASSERT_EQ(cues.size(), expected.size());
        for (size_t i = 0; i < cues.size(); ++i) {
            EXPECT_EQ(cues[i].text, expected[i].text);
            EXPECT_NEAR(cues[i].startTime, expected[i].startTime, 0.002);
            EXPECT_NEAR(cues[i].endTime, expected[i].endTime, 0.002);
        }
        fs::remove(reference);
    }

    // What bench/finish.sh needs to run the same work through ffmpeg.
    if (describesRecording) {
        nlohmann::json info;
        info["recordSeconds"] = recorded;
        info["finishSeconds"] = finishTime;
        info["renderWidth"] = W;
        info["renderHeight"] = H;
        info["framesPerSecond"] = fps;
        info["movie"] = movie.string();
        info["subtitleLayout"] = {{"centerX", stored.subtitleLayout.center.x},
                                  {"centerY", stored.subtitleLayout.center.y},
                                  {"maxWidth", stored.subtitleLayout.maxWidth}};
        for (const auto& k : pipTrack)
            info["pipTrack"].push_back({{"time", k.time},
                                        {"centerX", k.center.x},
                                        {"centerY", k.center.y},
                                        {"width", k.size.width},
                                        {"height", k.size.height}});
        // The peer burns the same subtitles at the same times.
        for (const auto& segment : subtitleTrack)
            info["subtitles"].push_back(
                {{"start", segment.startTime}, {"end", segment.endTime}, {"text", segment.text}});
        std::ofstream(keepDir / "recording.json") << info.dump(2) << "\n";
        std::error_code ec;
        fs::create_hard_link(movie, keepDir / "composed.mp4", ec);
    }
}

// The composition made while recording runs only on time the recording does not want: the same
// recording (camera window on, a window moving on the screen) keeps as many screen frames with it
// running as without it.
TEST_F(RecordingEndToEnd, TheRecordingKeepsItsFramesWithTheCompositionRunningBesideIt) {
    const auto& env = environment();
    const double seconds = std::min(recordSeconds(), 10.0);
    const int fps = rawValue(recordingFrameRate());
    sandbox::MovingWindow movingWindow(env.display, 60, 700, 60);
    auto framesOfARecording = [&](bool follows, const fs::path& kept) {
        auto services = app::ShellServices::system();
        if (!follows)
            services.recordingWindows = [](const capture::ScreenCaptureTarget& target) {
                return std::make_shared<PostStopRecordingWindow>(target);
            };
        shell = app::HomeWindowController::create(services);
        shell->window()->show();
        driver::ShellDriver driver(shell);
        driver.waitForHome();
        driver.openPicker();
        driver.pickDisplay();
        RecordingView* view = driver.waitForRecordingWindow();
        driver.turnCameraOn();
        driver.pumpFor(500ms);
        const double started = driver.startRecording();
        fs::create_directories(kept);
        EXPECT_TRUE(
            driver.pumpUntil([&] { return recordingFilesIn(env.recordings).size() >= 2; }, 20s));
        for (const auto& file : recordingFilesIn(env.recordings))
            if (file.filename().string().rfind("zimlo_screen_", 0) == 0)
                fs::create_hard_link(file, kept / "screen.mov");
        driver.pumpFor(std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
        const bool followed = view->finishPipeline().follower() != nullptr;
        const double recorded = now() - started;
        const auto finished = driver.stopAndWaitForDraft();
        shell.reset();
        pumpFor(200ms);
        const int frames = countFrames(kept / "screen.mov");
        std::printf("%s the composition running: %d of %.0f frames; composed %s\n",
                    follows ? "with" : "without", frames, recorded * fps,
                    finished.composition && finished.composition->followed ? "while recording"
                                                                           : "after the stop");
        EXPECT_EQ(followed, follows);
        return std::make_pair(frames, recorded * fps);
    };
    const auto [without, expectedWithout] = framesOfARecording(false, env.root / "without");
    const auto [with, expectedWith] = framesOfARecording(true, env.root / "with");
    // As many frames of what was expected, give or take a frame a second of timing.
    EXPECT_GE(with / expectedWith, without / expectedWithout - 1.0 / fps)
        << with << " of " << expectedWith << " with it, " << without << " of " << expectedWithout
        << " without";
    EXPECT_GE(with, 0.95 * expectedWith);
}

// The same way with the keyboard alone, on the real windows: Return on the home page opens the
// picker, Return there records the display selected first, Space starts and stops, and back on
// the home page Tab reaches the new draft's card and Return plays its movie.
TEST_F(RecordingEndToEnd, TheKeyboardAloneRecordsADisplayAndPlaysTheDraft) {
    using qttest::pressKey;
    std::vector<fs::path> played;
    app::ShellServices services = app::ShellServices::system();
    services.open = [&played](const fs::path& movie, auto) { played.push_back(movie); };
    shell = app::HomeWindowController::create(services);
    shell->window()->show();
    driver::ShellDriver driver(shell);
    const size_t draftsBefore = driver.waitForHome();
    ASSERT_TRUE(qttest::activate(shell->window()));

    ASSERT_TRUE(pressKey(Qt::Key_Return));
    ASSERT_TRUE(shell->sourcePicker()) << "Return did not open the picker";
    app::SourcePickerView* picker = shell->sourcePicker();
    ASSERT_TRUE(pumpUntil([&] { return picker->startButton()->isEnabled(); }, 60s));
    ASSERT_TRUE(picker->selectedTarget()->kind.isDisplay());
    ASSERT_TRUE(pressKey(Qt::Key_Return));
    RecordingView* view = driver.waitForRecordingWindow();
    ASSERT_TRUE(qttest::activate(view->window()));

    ASSERT_TRUE(pressKey(Qt::Key_Space));
    ASSERT_TRUE(
        pumpUntil([&] { return view->isRecording() && view->recordButton()->isEnabled(); }, 30s))
        << view->statusLabel()->text().toStdString();
    pumpFor(1500ms);
    ASSERT_TRUE(pressKey(Qt::Key_Space));
    ASSERT_TRUE(pumpUntil(
        [&] {
            auto* home = shell->homeView();
            return home && shell->window()->isVisible() && home->cardViews().size() > draftsBefore;
        },
        300s))
        << "no new draft after Space stopped the recording";

    ASSERT_TRUE(qttest::activate(shell->window()));
    for (int n = 0; n < 4 && !qobject_cast<app::DraftCard*>(QApplication::focusWidget()); ++n)
        ASSERT_TRUE(pressKey(Qt::Key_Tab));
    auto* card = qobject_cast<app::DraftCard*>(QApplication::focusWidget());
    ASSERT_TRUE(card) << "Tab never reached a draft card";
    ASSERT_TRUE(pressKey(Qt::Key_Return));
    const RecordingProject newest = shell->homeView()->drafts().front();
    ASSERT_EQ(card->currentID(), newest.id);
    ASSERT_EQ(played.size(), 1u);
    EXPECT_EQ(played[0], *localFile(newest.mainVideo));
    EXPECT_TRUE(fs::is_regular_file(played[0]));
}

}  // namespace
}  // namespace zimlo::e2e
