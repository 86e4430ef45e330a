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
#include <QImage>
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
#include <optional>
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

// A picture kept for whoever looks into a failure.
void savePicture(const media::PixelBuffer& picture, const fs::path& file) {
    QImage(picture.data(), picture.width(), picture.height(), picture.stride(),
           QImage::Format_ARGB32)
        .save(QString::fromStdString(file.string()));
}

// Where the moving window was missing, and whether the raw screen movie had it then: a missing
// window in the raw movie is the capture's, otherwise the composition's.
std::string describeWithoutWindow(const std::vector<std::pair<double, int>>& missing,
                                  const fs::path& rawScreen, int windowArea) {
    std::ostringstream text;
    size_t next = 0;
    int rawCount = -1;
    double rawTime = 0;
    try {
        forEachFrame(rawScreen, [&](double t, const media::PixelBuffer& picture) {
            while (next < missing.size() && t > missing[next].first) {
                text << "at " << missing[next].first << " s " << missing[next].second << " of "
                     << windowArea << " pixels (the raw screen's picture at " << rawTime
                     << " s has " << rawCount << "); ";
                ++next;
            }
            if (next == missing.size()) return false;
            rawCount = findColour(picture, kMovingWindowColour, 40).count;
            rawTime = t;
            return true;
        });
    } catch (const std::exception& e) {
        text << "(the raw screen movie could not be read: " << e.what() << ")";
    }
    return text.str();
}

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

// The application's recording window with its finish set up otherwise: by default everything
// composed after the stop.
class PostStopRecordingWindow : public app::RecordingWindowHandle {
  public:
    explicit PostStopRecordingWindow(const capture::ScreenCaptureTarget& target)
        : window_(target, dependencies()) {}
    PostStopRecordingWindow(const capture::ScreenCaptureTarget& target,
                            RecordingView::Dependencies deps)
        : window_(target, std::move(deps)) {}
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

// One recording of the display with the camera window and subtitles through the real windows,
// step by step, and what it left behind for the checks after it.
class DisplayRecording {
  public:
    explicit DisplayRecording(std::shared_ptr<app::HomeWindowController>& shell)
        : env_(environment()),
          shell_(shell),
          seconds_(recordSeconds()),
          resolution_(recordingResolution()),
          fps_(rawValue(recordingFrameRate())),
          follows_(composesWhileRecording()) {
        // The raw movies are kept (linked) to hold the draft against an export of them after it.
        const char* keepDirText = std::getenv("ZIMLO_E2E_KEEP_DIR");
        describesRecording_ = keepDirText && *keepDirText;
        keepDir_ = describesRecording_ ? fs::path(keepDirText) : env_.root / "raw";
    }

    double seconds() const { return seconds_; }

    // Home (an empty gallery), the picker, the display, the recording window with the camera
    // window and subtitles on; a tone plays in the speakers from before the recording to its end,
    // and another application's window slides along the top of the display.
    void openRecordingWindow() {
        movingWindow_.emplace(env_.display, 60, 700, 60);
        auto services = app::ShellServices::system();
        if (!follows_)
            services.recordingWindows = [](const capture::ScreenCaptureTarget& target) {
                return std::make_shared<PostStopRecordingWindow>(target);
            };
        // What the composition made while recording is checked here, so it starts whatever other
        // tests leave of the machine; the benchmark's stops keep the application's rule.
        if (follows_ && waitsForTheCompositionBeforeStopping())
            services.recordingWindows = [](const capture::ScreenCaptureTarget& target) {
                RecordingView::Dependencies deps;
                deps.finishServices.spareProcessorLimits.minimumIdleCores = 0;
                return std::make_shared<PostStopRecordingWindow>(target, std::move(deps));
            };
        shell_ = app::HomeWindowController::create(services);
        shell_->window()->show();
        driver::ShellDriver::Observer observer;
        // When each status line appeared, to tell the finish's stages apart.
        observer.onStatus = [this](const std::string& text) {
            statusTimes_.emplace_back(now(), text);
            std::printf("status: %s\n", text.c_str());
        };
        driver_.emplace(shell_, observer);
        ASSERT_EQ(driver_->waitForHome(), 0u) << "the private home already holds drafts";
        driver_->openPicker();
        ASSERT_TRUE(shell_->sourcePicker()->targets().front().kind.isDisplay());
        driver_->pickDisplay();
        view_ = driver_->waitForRecordingWindow();
        sounds_.emplace(*env_.pulse);
        sounds_->playTone(kToneFrequency);
        driver_->turnCameraOn();
        driver_->turnSubtitlesOn();
        driver_->pumpFor(500ms);  // a few camera frames in the window
    }

    // Record: the tone is playing by now, speech follows the start. Time 0 of the recording is
    // on the monotonic clock the window and the feeders share. While it runs, how far the
    // composition made while recording lags behind it, and how far the subtitles' settled time
    // (which the composition may not pass) does, are sampled.
    void start() {
        cpuAtStart_ = processCpuSeconds();
        started_ = driver_->startRecording();
        ASSERT_NEAR(started_, now(), 5.0);
        QObject::connect(&lagSampler_, &QTimer::timeout, [this] {
            const auto& follower = view_->finishPipeline().follower();
            if (!view_->isRecording()) return;
            const double elapsed = now() - started_;
            if (follower) lags_.push_back(elapsed - follower->composedSeconds());
            settledLags_.push_back(elapsed - std::min(view_->subtitles().settledTime(), elapsed));
        });
        lagSampler_.start(250);
        sounds_->speak(sandbox::librivoxSpeech(seconds_, kLeadingSilence, kPause, spoken_));
    }

    // The raw movies, linked while they are written so the finish's clean-up leaves us a copy.
    void keepRawMovies() {
        std::vector<std::string> problems;
        fs::create_directories(keepDir_);
        ASSERT_TRUE(
            driver_->pumpUntil([&] { return recordingFilesIn(env_.recordings).size() >= 2; }, 20s));
        for (const auto& file : recordingFilesIn(env_.recordings)) {
            const std::string name = file.filename().string();
            const fs::path link =
                keepDir_ / (name.rfind("zimlo_screen_", 0) == 0 ? "screen.mov" : "camera.mov");
            std::error_code ec;
            fs::remove(link, ec);
            fs::create_hard_link(file, link, ec);
            if (ec) problems.push_back(name + ": " + ec.message());
        }
        EXPECT_TRUE(problems.empty()) << problems.front();
    }

    // Drag the camera window once, a little before the middle, towards the lower left.
    void dragCameraWindow() {
        driver_->pumpFor(std::chrono::milliseconds(static_cast<int>(seconds_ * 450)));
        recording::DraggablePiPView* pip = view_->pipView();
        ASSERT_TRUE(pip);
        QWidget* container = pip->parentWidget();
        ASSERT_EQ(container, view_->previewContainer());
        const QPoint from = pip->geometry().center();
        const QPoint to(container->width() / 4, container->height() * 58 / 100);
        const size_t keyframesBeforeDrag = view_->pipTrack().size();
        // Positions are given in the container and mapped into the window as it is at each step.
        QTest::mousePress(pip, Qt::LeftButton, {}, pip->mapFromParent(from));
        for (int step = 1; step <= 6; ++step) {
            driver_->pumpFor(30ms);
            QTest::mouseMove(pip, pip->mapFromParent(from + (to - from) * step / 6));
        }
        QTest::mouseRelease(pip, Qt::LeftButton, {}, pip->mapFromParent(to));
        ASSERT_GT(view_->pipTrack().size(), keyframesBeforeDrag) << "the drag recorded no keyframe";
    }

    // Stop when the recording has run its length and the recogniser has finished a sentence (on
    // a busy machine it runs behind the speech); the finish runs until the home grid lists it.
    void stopAndFinish() {
        driver_->pumpFor(std::chrono::milliseconds(
            static_cast<int>(std::max(0.0, started_ + seconds_ - now()) * 1000)));
        driver_->waitForSubtitle();
        const double catchUpBegan = now();
        if (follows_ && waitsForTheCompositionBeforeStopping()) {
            ASSERT_NO_FATAL_FAILURE(waitForTheComposition());
        }
        caughtUpWait_ = now() - catchUpBegan;
        pipTrack_ = view_->pipTrack();
        recorded_ = now() - started_;
        cpuAtStop_ = processCpuSeconds();
        lagSampler_.stop();
        stopPressed_ = now();
        finished_ = driver_->stopAndWaitForDraft();
        finishCpu_ = processCpuSeconds() - cpuAtStop_;
        sounds_->stop();
        EXPECT_EQ(sounds_->problem(), "");
        // The words on the recording's timeline.
        const double speechOffset = sounds_->speechStarted() - started_;
        for (auto& s : spoken_) {
            s.start += speechOffset;
            s.end += speechOffset;
        }
    }

    // The stored draft: one finished movie, its document beside it; the home grid lists it and
    // nothing of the recording is left where it was made, nor in the temporary folder.
    void checkStoredDraft() {
        const auto drafts = DraftStore::shared()->loadDrafts();
        ASSERT_EQ(drafts.size(), 1u);
        draft_ = drafts.front();
        ASSERT_TRUE(draft_.mainVideo);
        draftDir_ = localFile(draft_.mainVideo)->parent_path();
        stored_ = RecordingProject::fromJSON(readText(draftDir_ / "project.json"));
        EXPECT_EQ(stored_.id, draft_.id);
        EXPECT_FALSE(stored_.pipVideo) << "a composed draft holds one finished movie";
        EXPECT_TRUE(stored_.pipTrack.empty());
        EXPECT_EQ(stored_.sourceKind, RecordingSourceKind::screen);
        movie_ = *localFile(draft_.mainVideo);
        EXPECT_EQ(movie_.extension(), ".mp4");

        EXPECT_EQ(shell_->homeView()->cardViews().size(), 1u);
        EXPECT_EQ(shell_->homeView()->drafts().front().id, draft_.id);
        auto leftovers = recordingFilesIn(env_.temporary);
        for (const auto& file : recordingFilesIn(env_.recordings)) leftovers.push_back(file);
        EXPECT_TRUE(leftovers.empty()) << leftovers.front();
        EXPECT_TRUE(fs::is_empty(env_.recordings)) << "the recording's folder is gone";

        compose::VideoCompositor compositor;
        compositor.exportLongEdge = std::max(resolution_.width, resolution_.height);
        media::AssetTrack captured;
        const auto capturedSize = resolution_.captureSize({env_.screenWidth, env_.screenHeight});
        captured.naturalSize = {static_cast<double>(capturedSize.width),
                                static_cast<double>(capturedSize.height)};
        renderSize_ = compositor.renderSize(captured, stored_);
    }

    // The lines bench/finish.sh reads: the finish's time and stages from the stop press
    // ("ZIMLO_E2E_FINISH") and how the composition made while recording kept up and what the
    // recording cost ("ZIMLO_E2E_FOLLOW"); then that only the movie's end was composed after
    // the stop.
    void reportFinish() {
        const std::string stages = finishStages();
        std::printf(
            "ZIMLO_E2E_FINISH record_seconds=%.2f finish_seconds=%.2f finish_cpu_seconds=%.2f "
            "%s resolution=%s draft=%s\n",
            recorded_, finished_.finishSeconds, finishCpu_, stages.c_str(),
            resolution_.displayName.c_str(), movie_.c_str());
        std::fflush(stdout);

        const int rawFrames = countFrames(keepDir_ / "screen.mov");
        const auto& composition = finished_.composition;
        std::printf(
            "ZIMLO_E2E_FOLLOW followed=%d frames_after_stop=%lld frame_count=%lld lag_median=%.2f "
            "lag_max=%.2f settled_lag_median=%.2f settled_lag_max=%.2f catch_up_wait=%.2f "
            "raw_frames=%d expected_frames=%.0f cpu_per_second=%.3f fallback=\"%s\"\n",
            composition && composition->followed ? 1 : 0,
            static_cast<long long>(composition ? composition->framesAfterStop : -1),
            static_cast<long long>(composition ? composition->frameCount : -1), median(lags_),
            largest(lags_), median(settledLags_), largest(settledLags_), caughtUpWait_, rawFrames,
            recorded_ * fps_, (cpuAtStop_ - cpuAtStart_) / recorded_,
            composition ? composition->fallbackReason.c_str() : "");
        std::fflush(stdout);
        ASSERT_TRUE(composition) << "the draft was not composed";
        if (follows_) {
            EXPECT_TRUE(composition->followed) << composition->fallbackReason;
            EXPECT_GT(composition->frameCount, 0);
            EXPECT_LT(composition->framesAfterStop, composition->frameCount)
                << "nothing was composed before the stop";
        } else {
            EXPECT_FALSE(composition->followed);
        }
    }

    // What bench/finish.sh needs to run the same work through ffmpeg, written before the
    // checks so that a fault they find still leaves the finish timed.
    void describeForBenchmark() const {
        if (!describesRecording_) return;
        nlohmann::json info;
        info["recordSeconds"] = recorded_;
        info["finishSeconds"] = finished_.finishSeconds;
        info["renderWidth"] = static_cast<int>(renderSize_.width);
        info["renderHeight"] = static_cast<int>(renderSize_.height);
        info["framesPerSecond"] = fps_;
        info["movie"] = movie_.string();
        info["subtitleLayout"] = {{"centerX", stored_.subtitleLayout.center.x},
                                  {"centerY", stored_.subtitleLayout.center.y},
                                  {"maxWidth", stored_.subtitleLayout.maxWidth}};
        for (const auto& k : pipTrack_)
            info["pipTrack"].push_back({{"time", k.time},
                                        {"centerX", k.center.x},
                                        {"centerY", k.center.y},
                                        {"width", k.size.width},
                                        {"height", k.size.height}});
        // The peer burns the same subtitles at the same times.
        for (const auto& segment : finished_.subtitles)
            info["subtitles"].push_back(
                {{"start", segment.startTime}, {"end", segment.endTime}, {"text", segment.text}});
        std::ofstream(keepDir_ / "recording.json") << info.dump(2) << "\n";
        std::error_code ec;
        fs::create_hard_link(movie_, keepDir_ / "composed.mp4", ec);
    }

    // The movie: MPEG-4, the render size, about as long as the recording, one AAC track.
    void checkMovieFormat() {
        EXPECT_EQ(readText(movie_).substr(4, 4), "ftyp");
        auto asset = test::valueOrFailure(media::MovieAsset::open(movie_));
        ASSERT_TRUE(asset);
        const auto videos = asset->tracks(media::MediaType::video);
        const auto audios = asset->tracks(media::MediaType::audio);
        ASSERT_EQ(videos.size(), 1u);
        ASSERT_EQ(audios.size(), 1u);
        ASSERT_FALSE(audios.front().formatDescriptions.empty());
        EXPECT_EQ(audios.front().formatDescriptions.front().codecName(), "aac");
        EXPECT_EQ(videos.front().naturalSize.width, renderSize_.width);
        EXPECT_EQ(videos.front().naturalSize.height, renderSize_.height);
        duration_ = media::availableDuration(*asset, 0);
        EXPECT_NEAR(duration_, recorded_, std::max(1.0, 0.1 * recorded_));
        EXPECT_NEAR(stored_.duration, duration_, 0.5);
    }

    // Both sounds in the one track: the tone throughout, speech where it was spoken.
    void checkSound() {
        const auto sound = decodeSound(movie_);
        ASSERT_FALSE(spoken_.empty());
        tone_ = toneAmplitude(sound, kToneFrequency, 0.5, duration_ - 0.5);
        EXPECT_GT(tone_, 0.1);
        const double soundLength = static_cast<double>(sound.size()) / kSoundRate;
        // No half second may lose most of it, from the very start: the tone was playing before.
        std::string toneProfile;
        for (double t = 0.0; t + 0.5 < duration_ - 0.5; t += 0.5) {
            const double a = toneAmplitude(sound, kToneFrequency, t, t + 0.5);
            weakestTone_ = std::min(weakestTone_, a);
            toneProfile += " " + std::to_string(a).substr(0, 4);
        }
        EXPECT_GT(weakestTone_, 0.2)
            << "the computer's sound has gaps; tone by half second:" << toneProfile << "; sound "
            << soundLength << " s of a " << duration_ << " s movie";
        // The movie may begin a little after the recording's time 0, so the first words are found
        // in the sound (the first loud 50 ms in the speech band) and must be near where they were
        // said.
        const sandbox::SpokenSentence& first = spoken_.front();
        for (double t = 0.1; t + 0.05 < duration_ && onset_ < 0; t += 0.05)
            if (bandLevel(sound, 150, 3500, t, t + 0.1) > 0.01) onset_ = t;
        ASSERT_GE(onset_, 0) << "no speech in the sound track";
        EXPECT_NEAR(onset_, first.start, 0.7) << "speech heard away from where it was said";
        quiet_ = bandLevel(sound, 150, 3500, 0.1, onset_ - 0.2);
        speech_ = bandLevel(sound, 150, 3500, onset_ + 0.1,
                            std::min(onset_ + first.end - first.start, duration_) - 0.1);
        EXPECT_GT(speech_, 0.01) << "no speech in the sound track";
        EXPECT_GT(speech_, 4 * quiet_)
            << "speech " << speech_ << " against " << quiet_ << " before it";
    }

    // Pictures: the moving window, the camera window before and after the drag, subtitles
    // recognised where words were spoken and burned in while each one lasts.
    void checkPictures();

    // The draft is the movie the export makes of the raw recording after the stop: the same
    // streams, frames and length, pictures alike, the same subtitles at the same times. (Short
    // recordings only; the finish benchmark compares its long ones itself.)
    void checkAgainstExportAfterStop();

  private:
    // Every subtitle begins while words were being said.
    void checkSubtitlesFollowSpeech() const;
    static double largest(const std::vector<double>& values) {
        return values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
    }

    // The composition runs on idle time only and may not pass the subtitles' settled time: on
    // a machine busy with other work it can be far behind when the first sentence turns final.
    // The stop waits (bounded) until it has caught up with what is settled, so that what is
    // checked is the composition made while recording; the wait is printed beside the figures.
    void waitForTheComposition() {
        // A copy: the pipeline drops its own when it gives the composition up meanwhile.
        const auto follower = view_->finishPipeline().follower();
        ASSERT_TRUE(follower) << "nothing composes while recording";
        EXPECT_TRUE(driver_->pumpUntil(
            [&] {
                // Given up (the capture lost pictures beside it): nothing left to wait for.
                if (view_->finishPipeline().follower() != follower) return true;
                const double settled = std::min(view_->subtitles().settledTime(), now() - started_);
                return follower->composedSeconds() >= settled - 0.2;
            },
            120s))
            << "composed " << follower->composedSeconds() << " s of "
            << view_->subtitles().settledTime() << " s settled";
    }

    // Stages of the finish, from the stop press: the files taken over (with the last subtitles:
    // mixing starts, or the export when it mixes the sounds itself), the export started, the
    // draft saved; and what the draft store alone takes to save the same movie once more.
    std::string finishStages() const {
        auto statusSeen = [&](const std::string& text) {
            for (const auto& [at, seen] : statusTimes_)
                if (at >= stopPressed_ && seen.rfind(text, 0) == 0) return at - stopPressed_;
            return -1.0;
        };
        const double mixingSeen = statusSeen("正在同步电脑声音和输入设备声音");
        const double filesTaken = mixingSeen >= 0 ? mixingSeen : statusSeen("正在合成");
        const double storeBegan = now();
        const fs::path otherStore = env_.temporary / "store-timing";
        {
            RecordingProject again = draft_;
            again.id = Uuid::generate();
            EXPECT_TRUE(DraftStore(otherStore).saveDraft(again));
        }
        const double storeSeconds = now() - storeBegan;
        fs::remove_all(otherStore);
        char text[200];
        std::snprintf(text, sizeof text,
                      "files_reported=%.2f export_started=%.2f draft_saved=%.2f store_seconds=%.3f",
                      filesTaken, statusSeen("正在合成"), statusSeen("录制完成"), storeSeconds);
        return text;
    }

    // Samples every 15th picture of `movie` as raw bytes.
    static std::vector<std::vector<uint8_t>> sampledPictures(const fs::path& movie) {
        std::vector<std::vector<uint8_t>> sampled;
        int index = 0;
        forEachFrame(movie, [&](double, const media::PixelBuffer& p) {
            if (index++ % 15 == 0)
                sampled.emplace_back(p.data(), p.data() + size_t(p.stride()) * p.height());
            return true;
        });
        return sampled;
    }

    const Environment& env_;
    std::shared_ptr<app::HomeWindowController>& shell_;
    const double seconds_;
    const RecordingResolution resolution_;
    const int fps_;
    const bool follows_;
    bool describesRecording_ = false;
    fs::path keepDir_;

    std::optional<sandbox::MovingWindow> movingWindow_;
    std::optional<driver::ShellDriver> driver_;
    std::optional<sandbox::SoundFeeds> sounds_;
    RecordingView* view_ = nullptr;
    QTimer lagSampler_;

    // The recording, on the monotonic clock.
    double started_ = 0, recorded_ = 0, stopPressed_ = 0, caughtUpWait_ = 0;
    double cpuAtStart_ = 0, cpuAtStop_ = 0, finishCpu_ = 0;
    std::vector<std::pair<double, std::string>> statusTimes_;
    std::vector<double> lags_, settledLags_;
    std::vector<sandbox::SpokenSentence> spoken_;  // on the recording's timeline once stopped
    std::vector<PiPKeyframe> pipTrack_;
    driver::FinishedRecording finished_;

    // The draft and what was measured of it.
    RecordingProject draft_, stored_;
    fs::path draftDir_, movie_;
    Size renderSize_;
    double duration_ = 0, tone_ = 0, weakestTone_ = 1, onset_ = -1, quiet_ = 0, speech_ = 0;
};

void DisplayRecording::checkSubtitlesFollowSpeech() const {
    ASSERT_FALSE(finished_.subtitles.empty())
        << "no subtitle segment; the live caption last heard \"" << finished_.lastHeard << "\"";
    for (const auto& segment : finished_.subtitles) {
        const bool whileSpeaking = std::any_of(spoken_.begin(), spoken_.end(), [&](const auto& s) {
            return segment.startTime >= s.start - 0.5 && segment.startTime <= s.end + 0.5;
        });
        EXPECT_TRUE(whileSpeaking) << "\"" << segment.text << "\" starts at " << segment.startTime
                                   << " s, when nothing was said";
    }
}

void DisplayRecording::checkPictures() {
    const auto& pipTrack = pipTrack_;
    const auto& subtitleTrack = finished_.subtitles;
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
    ASSERT_LT(lastDragTime + 1.0, duration_) << "the drag came too late to see the second position";

    const int W = static_cast<int>(renderSize_.width), H = static_cast<int>(renderSize_.height);
    const PixelRect firstPlace = inner(pipRect(before, W, H)),
                    secondPlace = inner(pipRect(after, W, H));
    const PixelRect box = subtitleBox(stored_.subtitleLayout, W, H);
    const double beforeDrag = dragTime - 0.6, afterDrag = lastDragTime + 0.8;
    double seenBefore = -1, seenAfter = -1;
    // The moving window: in every picture, and the pictures follow it.
    int framesWithoutWindow = 0;
    std::vector<std::pair<double, int>> withoutWindow;  // time, green pixels
    double leftmost = 1e9, rightmost = -1e9;
    ASSERT_NO_FATAL_FAILURE(checkSubtitlesFollowSpeech());
    auto insideSegment = [&](double t) {
        return std::any_of(subtitleTrack.begin(), subtitleTrack.end(),
                           [&](const SubtitleSegment& segment) {
                               return t >= segment.startTime + 0.15 &&
                                      t <= std::min(segment.endTime, duration_) - 0.15;
                           });
    };
    const double firstSubtitle =
        std::min_element(subtitleTrack.begin(), subtitleTrack.end(), [](auto& a, auto& b) {
            return a.startTime < b.startTime;
        })->startTime;
    const double firstWords = spoken_.front().start;
    int framesInSegments = 0, subtitledInSegments = 0, subtitledBeforeSpeech = 0;
    const int windowArea = sandbox::MovingWindow::kWidth * sandbox::MovingWindow::kHeight * W /
                           env_.screenWidth * H / env_.screenHeight;
    int frameIndex = 0;
    forEachFrame(movie_, [&](double t, const media::PixelBuffer& picture) {
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
                if (withoutWindow.size() < 5) withoutWindow.emplace_back(t, spot.count);
                if (withoutWindow.size() == 1) savePicture(picture, keepDir_ / "no-window.png");
            } else {
                leftmost = std::min(leftmost, spot.centerX);
                rightmost = std::max(rightmost, spot.centerX);
            }
        }
        const int subtitlePixels = outlinedWhitePixels(picture, box);
        if (t > 0.2 && t < std::min(firstWords, firstSubtitle) - 0.3 && subtitlePixels >= 40)
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
        tone_, weakestTone_, speech_, onset_, quiet_, subtitleTrack.size(), subtitledInSegments,
        framesInSegments, leftmost, rightmost);
    for (const auto& segment : subtitleTrack)
        std::printf("subtitle %.2f-%.2f \"%s\"\n", segment.startTime, segment.endTime,
                    segment.text.c_str());
    EXPECT_GE(seenBefore, 0) << "no frame before the drag";
    EXPECT_GE(seenAfter, 0) << "no frame after the drag";
    EXPECT_EQ(framesWithoutWindow, 0)
        << "the moving window is missing from some pictures: "
        << describeWithoutWindow(withoutWindow, keepDir_ / "screen.mov", windowArea);
    EXPECT_GT(rightmost - leftmost, 0.05 * W) << "the pictures did not follow the moving window";
    EXPECT_GT(framesInSegments, 0);
    EXPECT_GE(subtitledInSegments, framesInSegments * 8 / 10)
        << subtitledInSegments << " of " << framesInSegments
        << " frames inside subtitles show them";
    EXPECT_EQ(subtitledBeforeSpeech, 0) << "subtitle-like pixels before any word";
}

void DisplayRecording::checkAgainstExportAfterStop() {
    if (seconds_ > 20) return;
    RecordingProject raw;
    raw.id = Uuid::generate();
    raw.mainVideo = keepDir_ / "screen.mov";
    raw.pipVideo = keepDir_ / "camera.mov";
    raw.duration = recorded_;
    raw.pipTrack = pipTrack_;
    raw.subtitleTrack = finished_.subtitles;
    std::stable_sort(raw.subtitleTrack.begin(), raw.subtitleTrack.end(),
                     [](const auto& a, const auto& b) { return a.startTime < b.startTime; });
    raw.subtitleLayout = stored_.subtitleLayout;
    raw.emphasizesSubtitleKeywords = true;
    raw.aspect.isPiPEnabled = true;
    auto exporter = std::make_shared<compose::VideoCompositor>();
    exporter->exportLongEdge = std::max(resolution_.width, resolution_.height);
    exporter->exportFrameRate = fps_;
    exporter->exportDirectory = env_.root;
    std::optional<compose::VideoCompositor::Result> exported;
    exporter->exportMovie(raw, true, 0, std::nullopt,
                          [&](compose::VideoCompositor::Result r) { exported = std::move(r); });
    ASSERT_TRUE(pumpUntil([&] { return exported.has_value(); }, std::chrono::minutes(5)));
    ASSERT_TRUE(exported->ok()) << exported->error().description();
    const fs::path reference = **exported;
    auto referenceAsset = test::valueOrFailure(media::MovieAsset::open(reference));
    ASSERT_TRUE(referenceAsset);
    auto asset = test::valueOrFailure(media::MovieAsset::open(movie_));
    ASSERT_TRUE(asset);
    EXPECT_EQ(referenceAsset->tracks(media::MediaType::video).size(),
              asset->tracks(media::MediaType::video).size());
    EXPECT_EQ(referenceAsset->tracks(media::MediaType::audio).size(),
              asset->tracks(media::MediaType::audio).size());
    EXPECT_NEAR(countFrames(movie_), countFrames(reference), 1);
    EXPECT_NEAR(duration_, media::availableDuration(*referenceAsset, 0), 1.0 / fps_ + 1e-6);
    // Pictures: the same frames, encoded apart (the export may choose a faster encoder).
    const auto sampled = sampledPictures(reference);
    int index = 0;
    double worst = 1e9;
    forEachFrame(movie_, [&](double, const media::PixelBuffer& p) {
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
        readSubtitleFile(draftDir_ / "subtitles.srt", SubtitleFileFormat::srt).valueOr({});
    const auto expected = compose::VideoCompositor::exportedSubtitles(raw, 0, std::nullopt);
    ASSERT_EQ(cues.size(), expected.size());
    for (size_t i = 0; i < cues.size(); ++i) {
        EXPECT_EQ(cues[i].text, expected[i].text);
        EXPECT_NEAR(cues[i].startTime, expected[i].startTime, 0.002);
        EXPECT_NEAR(cues[i].endTime, expected[i].endTime, 0.002);
    }
    fs::remove(reference);
}

TEST_F(RecordingEndToEnd, DisplayWithCameraWindowAndSubtitlesEndsAsAComposedDraftInTheHomeGrid) {
    DisplayRecording recording(shell);
    ASSERT_NO_FATAL_FAILURE(recording.openRecordingWindow());
    ASSERT_NO_FATAL_FAILURE(recording.start());
    ASSERT_NO_FATAL_FAILURE(recording.keepRawMovies());
    ASSERT_NO_FATAL_FAILURE(recording.dragCameraWindow());
    ASSERT_NO_FATAL_FAILURE(recording.stopAndFinish());
    ASSERT_NO_FATAL_FAILURE(recording.checkStoredDraft());
    recording.describeForBenchmark();
    ASSERT_NO_FATAL_FAILURE(recording.reportFinish());
    ASSERT_NO_FATAL_FAILURE(recording.checkMovieFormat());
    ASSERT_NO_FATAL_FAILURE(recording.checkSound());
    ASSERT_NO_FATAL_FAILURE(recording.checkPictures());
    ASSERT_NO_FATAL_FAILURE(recording.checkAgainstExportAfterStop());
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
        // A composition that gave way (the machine had no time for it) says why.
        EXPECT_EQ(followed, follows)
            << (finished.composition ? finished.composition->fallbackReason : "not composed");
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
