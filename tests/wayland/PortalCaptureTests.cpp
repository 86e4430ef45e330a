// Screen capture through the desktop portal and PipeWire on the fixture's headless sway: the
// stream itself, the source's states and restore tokens, a size change while recording,
// `zimlo-tool record` with both sound tracks, and the X11 fallback without a portal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "capture/PlatformErrorText.h"
#include "capture/PortalSessions.h"
#include "capture/PortalSourceMemory.h"
#include "capture/ScreenCameraSource.h"
#include "capture/ScreenCaptureTargetProvider.h"
#include "e2e/MediaChecks.h"
#include "platform/media/AssetReader.h"
#include "platform/media/MonotonicClock.h"
#include "platform/portal/PipeWireScreenStream.h"
#include "platform/runtime/SerialQueue.h"
#include "sandbox/PulseServer.h"
#include "sandbox/XvfbServer.h"
#include "support/TestMain.h"
#include "wayland/WaylandSession.h"

namespace zimlo::capture {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::WaylandSession;

const std::string kTool = std::string(ZIMLO_BINARY_DIR) + "/tools/zimlo-tool/zimlo-tool";

double now() { return media::MonotonicClock::nowSeconds(); }

// The chooser answers with the output again when the test ends, whatever happened.
struct ChooserAnswer {
    explicit ChooserAnswer(const std::string& answer) {
        WaylandSession::shared().answerChooser(answer);
    }
    ~ChooserAnswer() {
        WaylandSession::shared().answerChooser(
            WaylandSession::shared().value("ZIMLO_WAYLAND_OUTPUT"));
    }
};

ScreenCaptureTarget portalMonitor() {
    portal::ScreenCastInfo info;
    info.version = 4;
    info.sourceTypes = 1;
    auto targets = ScreenCaptureTargetProvider::buildPortalTargets(info, PortalSourceMemory());
    return targets.front();
}

// Frames a stream delivered, with what the tests look at.
struct Received {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<double> stamps;    // presentation times, seconds
    std::vector<double> arrivals;  // monotonic clock when handed over
    std::set<std::pair<int, int>> sizes;
    std::set<const media::PixelBuffer*> pictures;
    std::vector<const media::PixelBuffer*> order;
    std::shared_ptr<const media::PixelBuffer> last;
    std::optional<std::optional<screen::CaptureError>> started;

    void take(const media::VideoSample& sample) {
        std::lock_guard lock(mutex);
        stamps.push_back(sample.presentationTime.seconds());
        arrivals.push_back(now());
        sizes.insert({sample.width(), sample.height()});
        pictures.insert(sample.pixels.get());
        order.push_back(sample.pixels.get());
        last = sample.pixels;
        changed.notify_all();
    }
    bool waitStarted(std::chrono::seconds limit) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return started.has_value(); });
    }
};

std::unique_ptr<portal::PipeWireScreenStream> monitorStream(Received& received,
                                                            SerialQueue& queue) {
    screen::CaptureStreamConfiguration configuration;
    configuration.minimumFrameInterval = media::MediaTime::make(1, 30);
    configuration.sizeForSource = [](PixelSize source) { return source; };
    auto stream = std::make_unique<portal::PipeWireScreenStream>(
        [](std::shared_ptr<portal::OpenCancellation> cancellation) {
            return openPortalSession(PortalSource::Type::monitor, std::move(cancellation));
        },
        configuration);
    stream->setFrameHandler([&received](const media::VideoSample& s) { received.take(s); }, &queue);
    stream->startCapture([&received](std::optional<screen::CaptureError> error) {
        std::lock_guard lock(received.mutex);
        received.started = error;
        received.changed.notify_all();
    });
    return stream;
}

// BGRA of one pixel.
std::array<int, 3> rgbAt(const media::PixelBuffer& picture, int x, int y) {
    const uint8_t* p = picture.data() + static_cast<size_t>(y) * picture.stride() + 4 * x;
    return {p[2], p[1], p[0]};
}

TEST(PortalScreenStream, DeliversAMovingOutputAtTheFrameRateWithItsSizeAndColours) {
    auto& session = WaylandSession::shared();
    test::MovingClient moving;
    Received received;
    SerialQueue queue(".test-frames");
    auto stream = monitorStream(received, queue);
    ASSERT_TRUE(received.waitStarted(30s));
    ASSERT_FALSE(*received.started) << (*received.started)->what();

    // A second to settle, then three seconds counted.
    std::this_thread::sleep_for(1s);
    size_t from;
    {
        std::lock_guard lock(received.mutex);
        from = received.stamps.size();
    }
    std::this_thread::sleep_for(3s);
    stream->stopCapture();
    queue.sync([] {});

    std::lock_guard lock(received.mutex);
    ASSERT_GT(received.stamps.size(), from + 2);
    const size_t frames = received.stamps.size() - from;
    const double span = received.stamps.back() - received.stamps[from];
    const double rate = (frames - 1) / span;
    EXPECT_GE(rate, 0.95 * session.framesPerSecond()) << frames << " frames in " << span << " s";
    EXPECT_LE(rate, 1.05 * session.framesPerSecond());
    EXPECT_EQ(received.sizes, (std::set<std::pair<int, int>>{{session.width(), session.height()}}));
    // The output's background in the corner; the animation makes every picture differ.
    EXPECT_EQ(rgbAt(*received.last, 8, 8), (std::array<int, 3>{255, 0, 0}));
    EXPECT_GT(received.pictures.size(), 1u);
    // Stamped with the compositor's presentation times, on our clock: increasing, each a
    // little before its hand-over.
    EXPECT_GT(stream->compositorStampedFrameCount(), 0u);
    for (size_t i = 1; i < received.stamps.size(); ++i) {
        EXPECT_GT(received.stamps[i], received.stamps[i - 1]);
        EXPECT_LE(received.stamps[i], received.arrivals[i] + 0.001);
        EXPECT_GT(received.stamps[i], received.arrivals[i] - 0.5);
    }
    EXPECT_EQ(stream->droppedFrameCount(), 0u);
    // Every buffer the stream dequeued ends one way, each numbered by the compositor; every
    // frame delivered was admitted first.
    std::map<std::string, uint64_t> counts;
    for (const auto& count : stream->sourceCounts()) counts[count.name] = count.value;
    EXPECT_EQ(counts["buffers"], counts["superseded"] + counts["blank"] + counts["stale"] +
                                     counts["paced out"] + counts["admitted"]);
    EXPECT_EQ(counts["numbered"], counts["buffers"]);
    EXPECT_GE(counts["admitted"], received.stamps.size());
    // Buffers enough that the compositor never waits for one on its way back from us.
    EXPECT_GE(counts["pool"], 4u);
}

TEST(PortalScreenStream, RepeatsTheLastPictureOnceASecondOnAStillScreen) {
    // Something moves at first (the compositor sends nothing before a change), then nothing.
    auto moving = std::make_unique<test::MovingClient>();
    Received received;
    SerialQueue queue(".test-frames");
    auto stream = monitorStream(received, queue);
    ASSERT_TRUE(received.waitStarted(30s));
    ASSERT_FALSE(*received.started) << (*received.started)->what();
    std::this_thread::sleep_for(500ms);
    moving.reset();
    std::this_thread::sleep_for(500ms);
    const double stillFrom = now();
    std::this_thread::sleep_for(3500ms);
    stream->stopCapture();
    queue.sync([] {});

    // The compositor sends nothing more; the stream keeps the timeline covered with the last
    // picture once a second.
    std::lock_guard lock(received.mutex);
    std::vector<double> still;
    std::set<const media::PixelBuffer*> pictures;
    for (size_t i = 0; i < received.stamps.size(); ++i) {
        if (received.stamps[i] < stillFrom) continue;
        still.push_back(received.stamps[i]);
        pictures.insert(received.order[i]);
    }
    ASSERT_GE(still.size(), 3u);
    EXPECT_LE(still.size(), 5u);
    double longest = 0;
    for (size_t i = 1; i < still.size(); ++i) longest = std::max(longest, still[i] - still[i - 1]);
    EXPECT_GT(longest, 0.8);
    EXPECT_LT(longest, 1.6);
    EXPECT_EQ(pictures.size(), 1u) << "a repeat is the last picture again";
}

TEST(PortalScreenStream, ReportsTheEndWhenTheCastGoesAway) {
    test::MovingClient moving;
    Received received;
    SerialQueue queue(".test-frames");
    auto stream = monitorStream(received, queue);
    std::mutex mutex;
    std::condition_variable ended;
    std::optional<screen::CaptureError> reason;
    stream->setStopHandler([&](const screen::CaptureError& error) {
        std::lock_guard lock(mutex);
        reason = error;
        ended.notify_all();
    });
    ASSERT_TRUE(received.waitStarted(30s));
    ASSERT_FALSE(*received.started) << (*received.started)->what();
    // The desktop takes the cast's node away (as when the user stops sharing).
    int status = 0;
    const auto node = stream->session()->stream().nodeId;
    test::commandOutput("pw-cli destroy " + std::to_string(node) + " 2>&1", status);
    std::unique_lock lock(mutex);
    ASSERT_TRUE(ended.wait_for(lock, 10s, [&] { return reason.has_value(); }))
        << "the stream did not notice that its cast is gone";
    EXPECT_EQ(reason->kind(), screen::CaptureError::Kind::shareEnded);
    EXPECT_EQ(capture::userText(*reason), "屏幕共享已结束");
    EXPECT_FALSE(stream->isRunning());
}

// A source of the portal monitor, its states and statuses collected on the main queue.
struct SourceRun {
    std::shared_ptr<ScreenCameraSource> source;
    std::vector<CaptureState> states;
    std::vector<ScreenCaptureStatus> statuses;
    std::optional<std::optional<fs::path>> finished;

    explicit SourceRun(const RecordingSettings& settings = RecordingSettings::defaultSettings()) {
        source = ScreenCameraSource::create(portalMonitor());
        source->onStateChange = [this](CaptureState state) { states.push_back(state); };
        source->onScreenCaptureStatusChange = [this](ScreenCaptureStatus status) {
            statuses.push_back(status);
        };
        source->onFinishRecording = [this](auto main, auto) { finished = main; };
        source->setRecordingSettings(settings);
        EXPECT_TRUE(source->configureScreenStream());
        source->startScreenCapture();
    }
    ~SourceRun() {
        source->shutdown();
        source->screenQueue().sync([] {});
        test::pumpUntil([] { return false; }, 100ms);
    }
    bool failed() const { return source->state().kind == CaptureState::Kind::failed; }
    // Until the first frame's status or a failure.
    bool waitFirstFrame() {
        return test::pumpUntil([&] { return !statuses.empty() || failed(); }, 60s) && !failed();
    }
    std::optional<fs::path> record(double seconds, const std::function<void()>& midway = {}) {
        source->startRecording(false);
        test::pumpUntil([] { return false; },
                        std::chrono::milliseconds(static_cast<int>(seconds * 500)));
        if (midway) midway();
        test::pumpUntil([] { return false; },
                        std::chrono::milliseconds(static_cast<int>(seconds * 500)));
        source->stopRecording();
        test::pumpUntil([&] { return finished.has_value(); }, 60s);
        return finished ? *finished : std::nullopt;
    }
};

TEST(PortalSource, ACancelledChooserEndsInAFailedStateThatSaysSo) {
    auto& session = WaylandSession::shared();
    PortalSourceMemory().forgetToken(PortalSource::Type::monitor);
    ChooserAnswer cancel("");
    const int calls = session.chooserCalls();
    const double started = now();
    SourceRun run;
    ASSERT_TRUE(test::pumpUntil([&] { return run.failed(); }, 30s))
        << "no answer " << now() - started << " s after the chooser was cancelled";
    EXPECT_LT(now() - started, 10.0);
    EXPECT_EQ(run.source->state().message, "屏幕录制未获授权或已取消选择");
    EXPECT_EQ(session.chooserCalls(), calls + 1);
    EXPECT_TRUE(run.statuses.empty());
    EXPECT_FALSE(PortalSourceMemory().restoreToken(PortalSource::Type::monitor));
}

TEST(PortalSource, KeepsTheRestoreTokenSoTheNextRecordingStartsWithoutTheChooser) {
    auto& session = WaylandSession::shared();
    PortalSourceMemory memory;
    memory.forgetToken(PortalSource::Type::monitor);
    test::MovingClient moving;

    // First recording: the user chooses; the portal's token is kept with the stream size.
    int calls = session.chooserCalls();
    std::optional<fs::path> movie;
    {
        SourceRun run;
        ASSERT_TRUE(run.waitFirstFrame()) << run.source->state().message;
        movie = run.record(1.0);
    }
    EXPECT_EQ(session.chooserCalls(), calls + 1);
    auto token = memory.restoreToken(PortalSource::Type::monitor);
    ASSERT_TRUE(token);
    ASSERT_TRUE(movie && fs::exists(*movie));
    fs::remove(*movie);
    auto size = memory.lastSize(PortalSource::Type::monitor);
    ASSERT_TRUE(size);
    EXPECT_EQ(size->width, session.width());
    EXPECT_TRUE(portalMonitor().kind.portal().restoresLastChoice);

    // Second recording: restored without asking.
    calls = session.chooserCalls();
    {
        SourceRun run;
        ASSERT_TRUE(run.waitFirstFrame()) << run.source->state().message;
        movie = run.record(1.0);
    }
    EXPECT_EQ(session.chooserCalls(), calls) << "the chooser was shown again";
    ASSERT_TRUE(movie && fs::exists(*movie));
    fs::remove(*movie);
    EXPECT_TRUE(memory.restoreToken(PortalSource::Type::monitor));

    // Now the picker can show the chosen screen's picture, still without asking.
    std::optional<std::optional<TargetImage>> thumbnail;
    ScreenCaptureTargetProvider().loadThumbnail(
        portalMonitor(), [&](std::optional<TargetImage> image) { thumbnail = image; });
    ASSERT_TRUE(test::pumpUntil([&] { return thumbnail.has_value(); }, 30s));
    ASSERT_TRUE(*thumbnail && !(*thumbnail)->isSymbol()) << "no picture of the restored screen";
    const auto expected =
        ScreenCaptureTargetProvider::thumbnailSize(session.width(), session.height());
    EXPECT_EQ((*thumbnail)->pixels->width(), expected.first);
    EXPECT_EQ((*thumbnail)->pixels->height(), expected.second);
    EXPECT_EQ(session.chooserCalls(), calls);

    // A token the portal does not know any more: the user is asked again, and the new token
    // replaces it.
    memory.remember(PortalSource::Type::monitor, std::string("0b1f2d3c-expired"), std::nullopt);
    calls = session.chooserCalls();
    {
        SourceRun run;
        ASSERT_TRUE(run.waitFirstFrame()) << run.source->state().message;
    }
    EXPECT_EQ(session.chooserCalls(), calls + 1);
    auto replaced = memory.restoreToken(PortalSource::Type::monitor);
    ASSERT_TRUE(replaced);
    EXPECT_NE(*replaced, "0b1f2d3c-expired");
}

// The pointer setting is the session's cursor mode: the kept session serves while the setting
// stands, and the other choice opens a session that asks for it.
TEST(PortalSource, ThePointerSettingIsTheCursorModeTheSessionAsksFor) {
    WaylandSession::shared();
    const auto info = portal::probeScreenCast();
    ASSERT_TRUE(info);
    PortalSessionKeeper keeper(PortalSource::Type::monitor);
    auto hidden = keeper.obtain(nullptr, false);
    ASSERT_TRUE(hidden) << hidden.error().what();
    EXPECT_FALSE((*hidden)->embedsCursor());
    auto again = keeper.obtain(nullptr, false);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->get(), hidden->get());
    auto shown = keeper.obtain(nullptr, true);
    ASSERT_TRUE(shown) << shown.error().what();
    EXPECT_NE(shown->get(), hidden->get());
    EXPECT_EQ((*shown)->embedsCursor(), info->embedsCursor());
}

TEST(PortalSource, AnOutputSizeChangeWhileRecordingKeepsTheRecordingGoing) {
    auto& session = WaylandSession::shared();
    test::MovingClient moving;
    struct RestoreSize {
        ~RestoreSize() {
            auto& s = WaylandSession::shared();
            s.setOutputSize(s.width(), s.height());
        }
    } restore;
    SourceRun run(RecordingSettings(RecordingResolution::presets()[0], CaptureFrameRate::fps30));
    ASSERT_TRUE(run.waitFirstFrame()) << run.source->state().message;
    ASSERT_FALSE(run.statuses.empty());
    const int width = run.statuses.front().actualWidth, height = run.statuses.front().actualHeight;

    double changedAt = 0, recordingStarted = now();
    auto movie = run.record(4.0, [&] {
        changedAt = now() - recordingStarted;
        session.setOutputSize(1024, 768);
    });
    ASSERT_TRUE(movie && fs::exists(*movie)) << run.source->state().message;
    for (const auto& state : run.states)
        EXPECT_NE(state.kind, CaptureState::Kind::failed) << state.message;

    // One picture size throughout; after the change the 4:3 output sits between black bars.
    double lastTime = 0;
    int afterChange = 0, barred = 0;
    e2e::forEachFrame(*movie, [&](double time, const media::PixelBuffer& picture) {
        EXPECT_EQ(picture.width(), width);
        EXPECT_EQ(picture.height(), height);
        lastTime = time;
        if (time > changedAt + 0.5) {
            ++afterChange;
            const auto bar = rgbAt(picture, width / 40, height / 2);
            const auto inside = rgbAt(picture, width / 2, height / 20);
            if (bar[0] < 30 && bar[1] < 30 && bar[2] < 30 && inside[0] > 200 && inside[1] < 60)
                ++barred;
        }
        return true;
    });
    EXPECT_GT(lastTime, 3.5);
    EXPECT_GT(afterChange, 30);
    EXPECT_GT(barred, afterChange * 9 / 10);
    fs::remove(*movie);
}

// One sound track of a movie as mono samples.
std::vector<float> trackSound(const fs::path& movie, size_t audioIndex) {
    auto opened = media::MovieAsset::open(movie);
    if (!opened) throw std::runtime_error(opened.error().technicalText());
    auto asset = *opened;
    auto tracks = asset->tracks(media::MediaType::audio);
    if (audioIndex >= tracks.size()) throw std::runtime_error("no such sound track");
    auto readerOpened = media::AudioMixReader::open(*asset, {{tracks[audioIndex].trackID, 1.0f}});
    if (!readerOpened) throw std::runtime_error(readerOpened.error().technicalText());
    auto reader = std::move(readerOpened).value();
    std::vector<float> mono;
    while (auto chunk = reader->next()) {
        const auto* samples = reinterpret_cast<const float*>(chunk->data.data());
        for (int i = 0; i < chunk->frameCount(); ++i)
            mono.push_back(0.5f * (samples[2 * i] + samples[2 * i + 1]));
    }
    return mono;
}

// Where a sound track starts on the movie's timeline, in seconds.
double trackStart(const fs::path& movie, size_t audioIndex) {
    int status = 0;
    const std::string text = test::commandOutput(
        "ffprobe -v error -select_streams a:" + std::to_string(audioIndex) +
            " -show_entries stream=start_time -of csv=p=0 '" + movie.string() + "'",
        status);
    return text.empty() ? 0.0 : std::stod(text);
}

// Pictures and sounds of a portal recording sit on one timeline: the compositor's presentation
// times and the sound's times are both the monotonic clock.
TEST(PortalSource, RecordsThePictureAndTheComputersSoundInSync) {
    test::MovingClient moving;
    SourceRun run(RecordingSettings(RecordingResolution::presets()[0], CaptureFrameRate::fps30));
    ASSERT_TRUE(run.waitFirstFrame()) << run.source->state().message;
    run.source->startRecording(false);
    test::pumpUntil([] { return false; }, 500ms);

    // A tone into the computer's output and the animated window leaving the screen, each at a
    // time we know.
    std::atomic<double> played{0};
    std::thread player([&] { played = sandbox::playTone(0.6, 0.5, 660); });
    test::pumpUntil([] { return false; }, 700ms);
    const double gone = now();
    moving.stop();
    test::pumpUntil([&] { return played.load() != 0; }, 10s);
    player.join();
    test::pumpUntil([] { return false; }, 500ms);
    run.source->stopRecording();
    ASSERT_TRUE(test::pumpUntil([&] { return run.finished.has_value(); }, 30s));
    ASSERT_TRUE(*run.finished && fs::exists(**run.finished));
    const fs::path movie = **run.finished;

    // The first picture without the window (all background)...
    std::optional<double> goneAt;
    e2e::forEachFrame(movie, [&](double time, const media::PixelBuffer& picture) {
        const e2e::PixelRect whole{0, 0, picture.width(), picture.height()};
        if (e2e::colourShare(picture, whole, {255, 0, 0}, 40) > 0.995) goneAt = time;
        return !goneAt;
    });
    ASSERT_TRUE(goneAt) << "the window never left the recording";
    // ...and the tone's first loud moment, on the movie's timeline.
    const auto sound = trackSound(movie, 0);
    std::optional<double> toneAt;
    for (size_t i = 0; i < sound.size() && !toneAt; ++i)
        if (std::fabs(sound[i]) > 0.3f) toneAt = static_cast<double>(i) / e2e::kSoundRate;
    ASSERT_TRUE(toneAt) << "no tone in the computer's sound";
    const double audioStart = trackStart(movie, 0);

    // The compositor shows the change up to a few frames after the window went; the sound must
    // sit within 50 ms of where it belongs.
    const double frame = 1.0 / 30;
    const double error = (audioStart + *toneAt - *goneAt) - (played.load() - gone);
    EXPECT_GT(error, -0.05 - 3 * frame);
    EXPECT_LT(error, 0.05);
    std::cout << "portal recording: sound " << error * 1000 << " ms from the picture\n";
    fs::remove(movie);
}

TEST(ZimloToolRecord, RecordsThePortalMonitorWithTheComputersSoundAndTheMicrophone) {
    auto& session = WaylandSession::shared();
    test::MovingClient moving;
    constexpr double kSystemTone = 1000, kMicrophoneTone = 3000;
    test::SoundSources sounds(kSystemTone, kMicrophoneTone);
    std::this_thread::sleep_for(500ms);  // both sounds flowing before the recording

    int status = -1;
    std::string printed = test::commandOutput(
        kTool + " record --target portal-monitor --seconds 3 --fps 30 --mic 2>&1", status);
    ASSERT_EQ(status, 0) << printed;
    EXPECT_NE(printed.find("status: 实际采样：" + std::to_string(session.width()) + "×" +
                           std::to_string(session.height())),
              std::string::npos)
        << printed;
    EXPECT_EQ(printed.find("microphone:"), std::string::npos) << printed;
    const fs::path movie = test::valueAfter(printed, "screen movie: ");
    ASSERT_TRUE(fs::exists(movie)) << printed;

    // Video, then the computer's sound, then the microphone.
    EXPECT_EQ(test::commandOutput("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 '" +
                                      movie.string() + "'",
                                  status),
              "video\naudio\naudio\n");
    int frames = 0;
    e2e::forEachFrame(movie, [&](double, const media::PixelBuffer&) {
        ++frames;
        return true;
    });
    EXPECT_GE(frames, static_cast<int>(3 * 30 * 0.9));
    const auto system = trackSound(movie, 0);
    const auto microphone = trackSound(movie, 1);
    const double length = static_cast<double>(system.size()) / e2e::kSoundRate;
    ASSERT_GT(length, 2.5);
    EXPECT_GT(e2e::toneAmplitude(system, kSystemTone, 0.5, length - 0.5), 0.2);
    EXPECT_LT(e2e::toneAmplitude(system, kMicrophoneTone, 0.5, length - 0.5), 0.02);
    EXPECT_GT(e2e::toneAmplitude(microphone, kMicrophoneTone, 0.5, length - 0.5), 0.2);
    EXPECT_LT(e2e::toneAmplitude(microphone, kSystemTone, 0.5, length - 0.5), 0.02);
    fs::remove(movie);
}

// A session bus with nothing on it: no portal can be started there.
class EmptyBus {
  public:
    EmptyBus() {
        char pattern[] = "/tmp/zimlo-empty-bus-XXXXXX";
        if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
        dir_ = pattern;
        std::ofstream(dir_ / "bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\""
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>session</type><listen>unix:path="
            << (dir_ / "bus").string()
            << "</listen><policy context=\"default\"><allow send_destination=\"*\" "
               "eavesdrop=\"true\"/>"
               "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execlp("dbus-daemon", "dbus-daemon", "--nofork", "--nopidfile",
                     ("--config-file=" + (dir_ / "bus.conf").string()).c_str(), nullptr);
            ::_exit(127);
        }
        for (int i = 0; i < 100 && !fs::exists(dir_ / "bus"); ++i)
            std::this_thread::sleep_for(50ms);
    }
    ~EmptyBus() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        fs::remove_all(dir_);
    }
    std::string address() const { return "unix:path=" + (dir_ / "bus").string(); }

  private:
    fs::path dir_;
    pid_t pid_ = -1;
};

TEST(ZimloToolTargets, WithoutAPortalOnTheBusUsesX11OrSaysWhyItCannotRecord) {
    EmptyBus bus;
    sandbox::XvfbServer xvfb("800x600x24");
    const std::string onEmptyBus = "DBUS_SESSION_BUS_ADDRESS='" + bus.address() + "' ";
    int status = -1;

    // A Wayland session whose bus has no portal, with XWayland (an X display): X11 capture.
    std::string printed = test::commandOutput(
        onEmptyBus + "DISPLAY=" + xvfb.displayName() + " " + kTool + " targets backend 2>&1",
        status);
    EXPECT_EQ(status, 0) << printed;
    EXPECT_EQ(printed, "x11\n");
    printed = test::commandOutput(
        onEmptyBus + "DISPLAY=" + xvfb.displayName() + " " + kTool + " targets 2>&1", status);
    EXPECT_EQ(status, 0) << printed;
    EXPECT_EQ(printed.rfind("display-", 0), 0u) << printed;
    EXPECT_NE(printed.find("800x600"), std::string::npos) << printed;

    // No X display either: a clear error, no recording.
    printed = test::commandOutput(onEmptyBus + kTool + " targets 2>&1", status);
    EXPECT_NE(status, 0);
    EXPECT_NE(printed.find("Wayland 桌面未提供屏幕录制门户"), std::string::npos) << printed;
    printed = test::commandOutput(
        onEmptyBus + kTool + " record --target portal-monitor --seconds 1 2>&1", status);
    EXPECT_NE(status, 0);
    EXPECT_NE(printed.find("Wayland 桌面未提供屏幕录制门户"), std::string::npos) << printed;

    // Forcing the portal where there is none is an error, not a silent fallback; forcing X11
    // on the real session's bus uses X11.
    printed =
        test::commandOutput(onEmptyBus + "ZIMLO_CAPTURE=portal DISPLAY=" + xvfb.displayName() +
                                " " + kTool + " targets backend 2>&1",
                            status);
    EXPECT_NE(status, 0);
    EXPECT_NE(printed.find("ZIMLO_CAPTURE=portal"), std::string::npos) << printed;
    printed = test::commandOutput(
        "ZIMLO_CAPTURE=x11 DISPLAY=" + xvfb.displayName() + " " + kTool + " targets backend 2>&1",
        status);
    EXPECT_EQ(printed, "x11\n");
    printed = test::commandOutput(kTool + " targets 2>&1", status);
    EXPECT_EQ(printed.rfind("portal-monitor\t", 0), 0u) << printed;
}

}  // namespace
}  // namespace zimlo::capture
