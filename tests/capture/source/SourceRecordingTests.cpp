// Records a real screen (Xvfb), system audio and microphone (a private PulseAudio) and a
// generated camera through the source, then reads the movies back with ffprobe and ffmpeg.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

#include "RootPainter.h"
#include "SourceTestSupport.h"
#include "capture/ScreenCaptureTargetProvider.h"
#include "platform/camera/GeneratedCamera.h"
#include "platform/x11/CaptureTargetList.h"
#include "sandbox/PulseServer.h"
#include "sandbox/XvfbServer.h"
#include "support/ResultValue.h"
#include "support/TestMain.h"

namespace zimlo::capture {
namespace {

namespace fs = std::filesystem;

// The stream stops on its queue: wait for it, so that no grab still talks to the X server when
// the desk takes it away.
void shutDown(ScreenCameraSource& source) {
    source.shutdown();
    source.screenQueue().sync([] {});
    source.cameraQueue().sync([] {});
}
using media::MonotonicClock;

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    ::pclose(pipe);
    return out;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) result.push_back(line);
    return result;
}

using test::AnimatedScreen;
using test::RootPainter;

// A private display on the shared sound server, a scratch folder that goes away with the test (also
// when an assertion ends it early), and the display's capture targets.
struct RecordingDesk {
    RecordingDesk(const std::string& screen, const std::string& name)
        : xvfb(screen),
          pulse(zimlo::sandbox::PulseServer::shared()),
          dir(fs::temp_directory_path() /
              ("zimlo-source-" + name + "-" + std::to_string(::getpid()))) {
        xvfb.exportDisplay();
        fs::create_directories(dir);
        targets = ScreenCaptureTargetProvider::buildTargets(
            zimlo::test::valueOrFailure(x11::listCaptureTargets(xvfb.displayName().c_str())),
            ::getpid());
    }
    ~RecordingDesk() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    // A source that records this display into the scratch folder.
    ScreenCameraSource::Options sourceOptions() const {
        ScreenCameraSource::Options options;
        options.recordingsDirectory = dir;
        options.displayName = xvfb.displayName();
        return options;
    }

    zimlo::sandbox::XvfbServer xvfb;
    zimlo::sandbox::PulseServer& pulse;
    fs::path dir;
    std::vector<ScreenCaptureTarget> targets;
};

// Index of the first sample louder than `threshold` in raw mono float samples.
std::optional<size_t> firstLoud(const std::string& raw, float threshold) {
    size_t count = raw.size() / 4;
    for (size_t i = 0; i < count; ++i) {
        float v;
        std::memcpy(&v, raw.data() + i * 4, 4);
        if (std::fabs(v) > threshold) return i;
    }
    return std::nullopt;
}

TEST(ScreenCameraSourceRecording, RecordsScreenSystemAudioMicrophoneAndCameraInSync) {
    RecordingDesk desk("640x480x24", "rec");
    auto& xvfb = desk.xvfb;
    auto& pulse = desk.pulse;
    const auto& targets = desk.targets;
    ASSERT_FALSE(targets.empty());
    ASSERT_TRUE(targets.front().kind.isDisplay());

    ScreenCameraSource::Options options = desk.sourceOptions();
    auto generated = std::make_shared<camera::GeneratedCamera>();
    options.cameraDiscovery = [generated] { return generated; };
    auto source = ScreenCameraSource::create(targets.front(), options);
    std::vector<ScreenCaptureStatus> reports;
    std::vector<CaptureState> states;
    std::optional<std::pair<std::optional<fs::path>, std::optional<fs::path>>> finished;
    source->onScreenCaptureStatusChange = [&](ScreenCaptureStatus s) { reports.push_back(s); };
    source->onStateChange = [&](CaptureState s) { states.push_back(s); };
    source->onFinishRecording = [&](auto main, auto pip) { finished.emplace(main, pip); };
    source->setRecordingSettings(nativeDefaultSettings(640, 480));

    // The left half changes all the time, so the stream runs at its full rate.
    AnimatedScreen animation(xvfb.displayName(), {0, 0, 320, 480}, AnimatedScreen::grey,
                             std::chrono::milliseconds(10));
    RootPainter marker(xvfb.displayName());
    marker.fill(320, 0, 320, 480, 0x000000);

    ASSERT_TRUE(source->configureScreenStream());
    source->startScreenCapture();
    ASSERT_TRUE(
        zimlo::test::pumpUntil([&] { return !reports.empty() && reports.back().measuredFrameRate; },
                               std::chrono::seconds(20)));
    EXPECT_EQ(reports.front().actualWidth, 640);
    EXPECT_EQ(reports.front().actualHeight, 480);
    EXPECT_GT(*reports.back().measuredFrameRate,
              1.0);  // a loaded machine may deliver fewer, never more
    EXPECT_LT(*reports.back().measuredFrameRate, 31.0);

    std::optional<std::optional<SourceError>> microphone;
    source->prepareMicrophone([&](std::optional<SourceError> e) { microphone = e; });
    std::optional<ScreenCameraSource::CameraStart> cameraStart;
    source->startCamera([&](ScreenCameraSource::CameraStart r) { cameraStart = r; });
    ASSERT_TRUE(zimlo::test::pumpUntil([&] { return microphone && cameraStart; }));
    ASSERT_FALSE(microphone->has_value());
    ASSERT_FALSE(cameraStart->error.has_value());

    source->startRecording(true);
    zimlo::test::mainLoop().runFor(std::chrono::milliseconds(500));

    // A tone into the computer's output, a tone into the microphone, and the right half of the
    // screen turning white, each at a time we know.
    std::atomic<double> played{0}, spoken{0};
    std::thread player([&] { played = zimlo::sandbox::playTone(0.6, 0.5, 660); });
    std::thread speaker([&] { spoken = pulse.speakToneInRealTime(1.6, 0.8); });
    zimlo::test::mainLoop().runFor(std::chrono::milliseconds(700));
    marker.fill(320, 0, 320, 480, 0xffffff);
    double shown = MonotonicClock::nowSeconds();
    while (!played.load() || !spoken.load())
        zimlo::test::mainLoop().runFor(std::chrono::milliseconds(50));
    player.join();
    speaker.join();
    zimlo::test::mainLoop().runFor(std::chrono::milliseconds(500));

    source->stopRecording();
    ASSERT_TRUE(
        zimlo::test::pumpUntil([&] { return finished.has_value(); }, std::chrono::seconds(30)));
    animation.stop();
    shutDown(*source);
    EXPECT_EQ(states.back(), CaptureState::stopped());

    ASSERT_TRUE(finished->first && finished->second);
    std::string movie = finished->first->string();
    std::string cameraMovie = finished->second->string();
    ASSERT_TRUE(fs::exists(movie));
    ASSERT_TRUE(fs::exists(cameraMovie));

    // Track order: video, system audio, microphone. The camera movie is video only.
    auto streams = lines(run(
        "ffprobe -v error -show_entries stream=codec_type,start_time -of csv=p=0 '" + movie + "'"));
    ASSERT_EQ(streams.size(), 3u);
    EXPECT_TRUE(streams[0].starts_with("video"));
    EXPECT_TRUE(streams[1].starts_with("audio"));
    EXPECT_TRUE(streams[2].starts_with("audio"));
    auto cameraStreams =
        lines(run("ffprobe -v error -show_entries stream=codec_type,width -of csv=p=0 '" +
                  cameraMovie + "'"));
    ASSERT_EQ(cameraStreams.size(), 1u);
    EXPECT_EQ(cameraStreams[0], "video,640");

    // When the right half turned white in the movie...
    auto frameTimes = lines(
        run("ffprobe -v error -select_streams v:0 -show_entries frame=pts_time -of csv=p=0 '" +
            movie + "'"));
    std::string pictures =
        run("ffmpeg -v error -i '" + movie +
            "' -map 0:v:0 -vf crop=iw/2:ih:iw/2:0,scale=8:8,format=gray -fps_mode passthrough "
            "-f rawvideo - 2>/dev/null");
    ASSERT_EQ(pictures.size(), frameTimes.size() * 64);
    std::optional<double> whiteAt;
    for (size_t i = 0; i < frameTimes.size() && !whiteAt; ++i)
        if (static_cast<unsigned char>(pictures[i * 64 + 27]) > 200)
            whiteAt = std::stod(frameTimes[i]);
    ASSERT_TRUE(whiteAt.has_value());

    // ...and when each tone began, on the same movie timeline.
    auto onset = [&](int track) -> std::optional<double> {
        auto start = std::stod(streams[static_cast<size_t>(track) + 1].substr(6));
        std::string raw =
            run("ffmpeg -v error -i '" + movie + "' -map 0:a:" + std::to_string(track) +
                " -ac 1 -ar 48000 -f f32le -");
        auto index = firstLoud(raw, 0.3f);
        if (!index) return std::nullopt;
        return start + static_cast<double>(*index) / 48000.0;
    };
    auto systemOnset = onset(0);
    auto microphoneOnset = onset(1);
    ASSERT_TRUE(systemOnset.has_value());
    ASSERT_TRUE(microphoneOnset.has_value());

    // The picture is grabbed up to a frame after it changed; sound must sit within 50 ms.
    const double frame = 1.0 / 30;
    double systemError = (*systemOnset - *whiteAt) - (played.load() - shown);
    double microphoneError = (*microphoneOnset - *whiteAt) - (spoken.load() - shown);
    EXPECT_GT(systemError, -0.05 - frame);
    EXPECT_LT(systemError, 0.05);
    EXPECT_GT(microphoneError, -0.05 - frame);
    EXPECT_LT(microphoneError, 0.05);
    std::cout << "system audio offset " << systemError * 1000 << " ms, microphone offset "
              << microphoneError * 1000 << " ms\n";
}

// A tone already playing when the recording starts is in the movie from its first moments: the
// computer's sound must not take its time to start, nor be stamped so early it is cut away.
// Index just past the last sample louder than `threshold`.
std::optional<size_t> endOfLoud(const std::string& raw, float threshold) {
    for (size_t i = raw.size() / 4; i > 0; --i) {
        float v;
        std::memcpy(&v, raw.data() + (i - 1) * 4, 4);
        if (std::fabs(v) > threshold) return i;
    }
    return std::nullopt;
}

// The sound server hands the computer's sound on in pieces: the last one before the stop comes
// after it and still belongs in the movie.
TEST(ScreenCameraSourceRecording, SystemSoundPlayingThroughoutIsHeardFromTheStartToTheStop) {
    RecordingDesk desk("1920x1080x24", "tone");
    auto& xvfb = desk.xvfb;
    const auto& targets = desk.targets;
    ASSERT_FALSE(targets.empty());

    std::atomic<bool> stop{false};
    std::thread tone([&] { zimlo::sandbox::playToneUntilStopped(1000, stop); });
    ScreenCameraSource::Options options = desk.sourceOptions();
    auto source = ScreenCameraSource::create(targets.front(), options);
    std::optional<std::optional<fs::path>> finished;
    source->onFinishRecording = [&](auto main, auto) { finished.emplace(main); };
    source->setRecordingSettings(nativeDefaultSettings(1920, 1080));
    AnimatedScreen animation(xvfb.displayName(), {0, 0, 320, 240}, AnimatedScreen::grey,
                             std::chrono::milliseconds(10));
    // Recording starts with the stream: the sound server may not have sent the computer's sound
    // yet, and the large first frame is slow to set the encoder up.
    zimlo::test::mainLoop().runFor(std::chrono::milliseconds(500));
    ASSERT_TRUE(source->configureScreenStream());
    source->startScreenCapture();
    source->startRecording(false);
    zimlo::test::mainLoop().runFor(std::chrono::milliseconds(2500));
    source->stopRecording();
    ASSERT_TRUE(
        zimlo::test::pumpUntil([&] { return finished.has_value(); }, std::chrono::seconds(30)));
    animation.stop();
    shutDown(*source);
    stop = true;
    tone.join();
    ASSERT_TRUE(finished->has_value());
    std::string movie = (*finished)->string();

    auto start = [&](const char* stream) {
        return std::stod(run("ffprobe -v error -select_streams " + std::string(stream) +
                             " -show_entries stream=start_time -of csv=p=0 '" + movie + "'"));
    };
    std::string raw =
        run("ffmpeg -v error -i '" + movie + "' -map 0:a:0 -ac 1 -ar 48000 -f f32le -");
    auto index = firstLoud(raw, 0.3f);
    ASSERT_TRUE(index.has_value()) << "no tone in the computer's sound";
    double heardAt = start("a:0") + static_cast<double>(*index) / 48000.0 - start("v:0");
    std::cout << "tone heard " << heardAt * 1000 << " ms after the first frame; track "
              << raw.size() / 4 / 48000.0 << " s\n";
    EXPECT_LT(heardAt, 0.2);

    const double pictureEnd =
        std::stod(run("ffprobe -v error -select_streams v:0 -show_entries "
                      "stream=duration -of csv=p=0 '" +
                      movie + "'"));
    auto end = endOfLoud(raw, 0.3f);
    ASSERT_TRUE(end.has_value());
    const double silentEnd =
        pictureEnd - (start("a:0") + static_cast<double>(*end) / 48000.0 - start("v:0"));
    std::cout << "tone heard until " << silentEnd * 1000 << " ms before the movie's end\n";
    EXPECT_LT(silentEnd, 0.075);
}

// A still screen sends its next picture only after a while, so a recording started and stopped
// between two of them still has a movie: it opens with the picture on screen at the start.
TEST(ScreenCameraSourceRecording, AShortRecordingOfAStillScreenHasAMovie) {
    RecordingDesk desk("640x480x24", "short");
    auto& xvfb = desk.xvfb;
    const auto& targets = desk.targets;
    ASSERT_FALSE(targets.empty());
    RootPainter painter(xvfb.displayName());
    painter.fill(0, 0, 640, 480, 0x2060a0);

    ScreenCameraSource::Options options = desk.sourceOptions();
    auto source = ScreenCameraSource::create(targets.front(), options);
    std::optional<std::optional<fs::path>> finished;
    source->onFinishRecording = [&](auto main, auto) { finished.emplace(main); };
    std::atomic<int> pictures{0};
    source->onScreenFrame = [&](const media::VideoSample&) { ++pictures; };
    source->setRecordingSettings(nativeDefaultSettings(640, 480));
    ASSERT_TRUE(source->configureScreenStream());
    source->startScreenCapture();
    // The first pictures, then the screen stands still.
    ASSERT_TRUE(zimlo::test::pumpUntil([&] { return pictures.load() > 0; }));
    zimlo::test::mainLoop().runFor(std::chrono::milliseconds(300));
    const int before = pictures.load();
    source->startRecording(false);
    zimlo::test::mainLoop().runFor(std::chrono::milliseconds(200));
    const int during = pictures.load() - before;
    source->stopRecording();
    ASSERT_TRUE(
        zimlo::test::pumpUntil([&] { return finished.has_value(); }, std::chrono::seconds(30)));
    shutDown(*source);

    ASSERT_TRUE(finished->has_value());
    const std::string movie = (*finished)->string();
    ASSERT_TRUE(fs::exists(movie)) << "pictures during the recording: " << during;
    EXPECT_EQ(lines(run("ffprobe -v error -select_streams v:0 -show_entries stream=width,height "
                        "-of csv=p=0 '" +
                        movie + "'")),
              std::vector<std::string>{"640,480"});
    // The picture is the one on screen (away from the pointer in the middle).
    const std::string rgb =
        run("ffmpeg -v error -i '" + movie + "' -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
    ASSERT_EQ(rgb.size(), 640u * 480u * 3u);
    const size_t centre = (100 * 640 + 100) * 3;
    EXPECT_NEAR(static_cast<unsigned char>(rgb[centre]), 0x20, 8);
    EXPECT_NEAR(static_cast<unsigned char>(rgb[centre + 1]), 0x60, 8);
    EXPECT_NEAR(static_cast<unsigned char>(rgb[centre + 2]), 0xa0, 8);
}

// A still screen sends a picture about once a second, and with no sound server there is no sound
// to carry the movie on: it still lasts from the start to the stop, pictures and (silent) sound
// alike, for recordings shorter and longer than that second.
TEST(ScreenCameraSourceRecording, AStillScreenWithoutSoundLastsUntilTheStop) {
    RecordingDesk desk("640x480x24", "still");
    ASSERT_FALSE(desk.targets.empty());
    RootPainter painter(desk.xvfb.displayName());
    painter.fill(0, 0, 640, 480, 0x2060a0);
    // No sound server for this test only (also when an assertion ends it early).
    struct NoSoundServer {
        std::string kept = ::getenv("PULSE_SERVER") ? ::getenv("PULSE_SERVER") : "";
        explicit NoSoundServer(const fs::path& socket) {
            ::setenv("PULSE_SERVER", ("unix:" + socket.string()).c_str(), 1);
        }
        ~NoSoundServer() { ::setenv("PULSE_SERVER", kept.c_str(), 1); }
    } noSoundServer(desk.dir / "no-server");

    auto source = ScreenCameraSource::create(desk.targets.front(), desk.sourceOptions());
    std::optional<std::optional<fs::path>> finished;
    source->onFinishRecording = [&](auto main, auto) { finished.emplace(main); };
    std::atomic<int> pictures{0};
    source->onScreenFrame = [&](const media::VideoSample&) { ++pictures; };
    source->setRecordingSettings(nativeDefaultSettings(640, 480));
    ASSERT_TRUE(source->configureScreenStream());
    source->startScreenCapture();
    ASSERT_TRUE(zimlo::test::pumpUntil([&] { return pictures.load() > 0; }));
    zimlo::test::mainLoop().runFor(std::chrono::milliseconds(300));

    for (const int milliseconds : {2000, 500}) {
        SCOPED_TRACE(std::to_string(milliseconds) + " ms recorded");
        finished.reset();
        const double began = MonotonicClock::nowSeconds();
        source->startRecording(false);
        zimlo::test::mainLoop().runFor(std::chrono::milliseconds(milliseconds));
        const double recorded = MonotonicClock::nowSeconds() - began;
        source->stopRecording();
        ASSERT_TRUE(
            zimlo::test::pumpUntil([&] { return finished.has_value(); }, std::chrono::seconds(30)));
        ASSERT_TRUE(finished->has_value());
        const std::string movie = (*finished)->string();
        const auto durations =
            lines(run("ffprobe -v error -show_entries stream=codec_type,duration -of csv=p=0 '" +
                      movie + "'"));
        ASSERT_EQ(durations.size(), 2u) << "a picture and a sound track";
        for (const auto& line : durations) {
            const auto comma = line.find(',');
            ASSERT_NE(comma, std::string::npos) << line;
            EXPECT_NEAR(std::stod(line.substr(comma + 1)), recorded, 0.1) << line;
        }
        fs::remove(movie);
    }
    shutDown(*source);
}

// Audio − video stays put over a recording of a mostly still screen (one picture a second between
// flashes, the case that made pictures drift ahead of the sound): a flash every 5 s, a beep heard
// from the computer at the same moment and spoken into the microphone, for 40 s. Every beep sits
// within 60 ms of its flash, on both sound tracks, from the first flash to the last.
TEST(ScreenCameraSourceRecording, SoundAndPictureStayTogetherFlashAfterFlash) {
    RecordingDesk desk("1280x720x24", "sync");
    auto& xvfb = desk.xvfb;
    auto& pulse = desk.pulse;
    const auto& targets = desk.targets;
    ASSERT_FALSE(targets.empty());
    ScreenCameraSource::Options options = desk.sourceOptions();
    auto source = ScreenCameraSource::create(targets.front(), options);
    std::optional<std::optional<fs::path>> finished;
    source->onFinishRecording = [&](auto main, auto) { finished.emplace(main); };
    source->setRecordingSettings(nativeDefaultSettings(1280, 720));

    constexpr double kPeriod = 5, kBeep = 0.1, kSeconds = 40;
    const double first = MonotonicClock::nowSeconds() + 4;
    auto beepAt = [&](double t) -> int16_t {
        if (t < first) return 0;
        const double into = std::fmod(t - first, kPeriod);
        return into < kBeep ? static_cast<int16_t>(0.6 * 32767 * std::sin(2 * M_PI * 1000 * into))
                            : 0;
    };
    std::atomic<bool> running{true}, stopped{false};
    // The computer's beep is placed by the playback stream's own latency, so it is heard at
    // the flash; the microphone's is written into its pipe when it happens.
    std::thread computer([&] { zimlo::sandbox::playHeardAt(beepAt, stopped); });
    std::thread microphone([&] {
        const double start = MonotonicClock::nowSeconds();
        for (long k = 0; running; ++k) {
            const double t = start + k * 0.01;
            std::this_thread::sleep_for(
                std::chrono::duration<double>(t - MonotonicClock::nowSeconds()));
            std::vector<int16_t> piece(480);
            for (size_t i = 0; i < piece.size(); ++i) piece[i] = beepAt(t + i / 48000.0);
            pulse.writeMicrophone(piece);
        }
    });
    std::thread flasher([&] {
        RootPainter painter(xvfb.displayName());
        painter.fill(0, 0, 1280, 720, 0x202020);
        for (int n = 0; running; ++n) {
            const double flash = first + n * kPeriod;
            while (running && MonotonicClock::nowSeconds() < flash)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            painter.fill(0, 0, 1280, 720, 0xffffff);
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            painter.fill(0, 0, 1280, 720, 0x202020);
        }
    });

    std::optional<std::optional<SourceError>> microphoneReady;
    source->prepareMicrophone([&](std::optional<SourceError> e) { microphoneReady = e; });
    ASSERT_TRUE(zimlo::test::pumpUntil([&] { return microphoneReady.has_value(); }));
    ASSERT_TRUE(source->configureScreenStream());
    source->startScreenCapture();
    source->startRecording(false);
    zimlo::test::mainLoop().runFor(std::chrono::milliseconds(static_cast<int>(kSeconds * 1000)));
    source->stopRecording();
    ASSERT_TRUE(
        zimlo::test::pumpUntil([&] { return finished.has_value(); }, std::chrono::seconds(60)));
    running = false;
    stopped = true;
    computer.join();
    microphone.join();
    flasher.join();
    shutDown(*source);
    ASSERT_TRUE(finished->has_value());
    const std::string movie = (*finished)->string();

    // Flashes: the first bright picture after dark ones.
    auto frameTimes = lines(
        run("ffprobe -v error -select_streams v:0 -show_entries frame=pts_time -of csv=p=0 '" +
            movie + "'"));
    std::string pictures = run("ffmpeg -v fatal -i '" + movie +
                               "' -map 0:v:0 -vf scale=8:8,format=gray -fps_mode passthrough "
                               "-f rawvideo -");
    ASSERT_EQ(pictures.size(), frameTimes.size() * 64);
    std::vector<double> flashes;
    bool lit = false;
    for (size_t i = 0; i < frameTimes.size(); ++i) {
        int sum = 0;
        for (int j = 0; j < 64; ++j) sum += static_cast<unsigned char>(pictures[i * 64 + j]);
        const bool bright = sum / 64 > 128;
        if (bright && !lit) flashes.push_back(std::stod(frameTimes[i]));
        lit = bright;
    }
    ASSERT_GE(flashes.size(), 6u);

    for (int track : {0, 1}) {
        SCOPED_TRACE(track == 0 ? "computer's sound" : "microphone");
        const double start =
            std::stod(run("ffprobe -v error -select_streams a:" + std::to_string(track) +
                          " -show_entries stream=start_time -of csv=p=0 '" + movie + "'"));
        std::string raw =
            run("ffmpeg -v error -i '" + movie + "' -map 0:a:" + std::to_string(track) +
                " -ac 1 -ar 48000 -f f32le -");
        std::vector<double> beeps;
        size_t quiet = 48000;
        for (size_t i = 0; i < raw.size() / 4; ++i) {
            float v;
            std::memcpy(&v, raw.data() + i * 4, 4);
            if (std::fabs(v) > 0.25f) {
                if (quiet >= 48000) beeps.push_back(start + i / 48000.0);
                quiet = 0;
            } else {
                ++quiet;
            }
        }
        std::string offsets;
        int paired = 0;
        for (double flash : flashes) {
            auto nearest = std::min_element(beeps.begin(), beeps.end(), [&](double a, double b) {
                return std::fabs(a - flash) < std::fabs(b - flash);
            });
            if (nearest == beeps.end() || std::fabs(*nearest - flash) > 1.0) continue;
            const double offset = (*nearest - flash) * 1000;
            offsets += std::to_string(static_cast<int>(std::lround(offset))) + " ";
            ++paired;
            EXPECT_LT(std::fabs(offset), 60.0) << "flash at " << flash << " s";
        }
        EXPECT_GE(paired, static_cast<int>(flashes.size()) - 1);
        std::cout << (track == 0 ? "computer's sound" : "microphone")
                  << ": audio - video per flash (ms): " << offsets << "\n";
    }
}

// Two seconds recorded, two paused (the screen turns red and both sounds play tones), then two
// more with a white flash and a tone in each sound: the movies are about four seconds long, hold
// nothing of the pause, run on without a hole where it was cut out, and picture and sounds still
// meet within 50 ms after it.
TEST(ScreenCameraSourceRecording, PausedStretchIsLeftOutAndEverythingResumesInSync) {
    RecordingDesk desk("640x480x24", "pause");
    auto& xvfb = desk.xvfb;
    auto& pulse = desk.pulse;
    const auto& targets = desk.targets;
    ASSERT_FALSE(targets.empty());

    ScreenCameraSource::Options options = desk.sourceOptions();
    auto generated = std::make_shared<camera::GeneratedCamera>();
    options.cameraDiscovery = [generated] { return generated; };
    auto source = ScreenCameraSource::create(targets.front(), options);
    std::optional<std::pair<std::optional<fs::path>, std::optional<fs::path>>> finished;
    std::optional<ScreenCaptureStatus> measured;
    source->onScreenCaptureStatusChange = [&](ScreenCaptureStatus s) {
        if (s.measuredFrameRate) measured = s;
    };
    source->onFinishRecording = [&](auto main, auto pip) { finished.emplace(main, pip); };
    source->setRecordingSettings(nativeDefaultSettings(640, 480));

    AnimatedScreen animation(xvfb.displayName(), {0, 0, 320, 480}, AnimatedScreen::grey,
                             std::chrono::milliseconds(10));
    RootPainter marker(xvfb.displayName());
    marker.fill(320, 0, 320, 480, 0x000000);
    ASSERT_TRUE(source->configureScreenStream());
    source->startScreenCapture();
    ASSERT_TRUE(
        zimlo::test::pumpUntil([&] { return measured.has_value(); }, std::chrono::seconds(20)));
    std::optional<std::optional<SourceError>> microphone;
    source->prepareMicrophone([&](std::optional<SourceError> e) { microphone = e; });
    std::optional<ScreenCameraSource::CameraStart> cameraStart;
    source->startCamera([&](ScreenCameraSource::CameraStart r) { cameraStart = r; });
    ASSERT_TRUE(zimlo::test::pumpUntil([&] { return microphone && cameraStart; }));
    ASSERT_FALSE(microphone->has_value());
    ASSERT_FALSE(cameraStart->error.has_value());
    // The microphone is fed all along, as a device would be: silence with a tone during the
    // pause (2.4 s to 3.2 s) and one after it (from 4.8 s), in seconds from the feed's start.
    constexpr double kRate = zimlo::sandbox::PulseServer::kMicrophoneRate;
    std::vector<int16_t> feed(static_cast<size_t>(2.4 * kRate), 0);
    const auto tone = zimlo::sandbox::sineTone(0.8, 440, 0.8);
    feed.insert(feed.end(), tone.begin(), tone.end());
    feed.resize(static_cast<size_t>(4.8 * kRate), 0);
    feed.insert(feed.end(), tone.begin(), tone.end());
    std::atomic<bool> quiet{false};
    std::atomic<double> fed{0};
    auto untilFed = [&](double seconds) {
        while (MonotonicClock::nowSeconds() < fed.load() + seconds)
            zimlo::test::mainLoop().runFor(std::chrono::milliseconds(5));
    };

    source->startRecording(true);
    const double started = MonotonicClock::nowSeconds();
    fed = started;
    std::thread microphoneFeed([&] { fed = pulse.speakInRealTime(feed, &quiet); });
    untilFed(1.0);
    marker.fill(320, 0, 320, 480, 0x808080);  // grey: a mark before the pause
    const double greyShown = MonotonicClock::nowSeconds();
    untilFed(2.0);
    ASSERT_TRUE(source->pauseRecording());
    const double pausedAt = MonotonicClock::nowSeconds();
    EXPECT_TRUE(source->isPaused());
    EXPECT_FALSE(source->pauseRecording());

    // What happens during the pause: red on the screen and a tone in each sound.
    untilFed(2.2);
    marker.fill(320, 0, 320, 480, 0xff0000);
    std::thread pausedPlayer([] { zimlo::sandbox::playTone(0.1, 0.7, 660); });
    pausedPlayer.join();
    untilFed(3.5);
    marker.fill(320, 0, 320, 480, 0x000000);
    untilFed(4.0);
    ASSERT_TRUE(source->resumeRecording());
    const double resumedAt = MonotonicClock::nowSeconds();
    EXPECT_FALSE(source->isPaused());
    const double paused = resumedAt - pausedAt;

    // After the resume: a white flash and a tone in each sound, at times we know.
    std::atomic<double> played{0};
    std::thread player([&] { played = zimlo::sandbox::playTone(0.6, 0.5, 660); });
    untilFed(4.7);
    marker.fill(320, 0, 320, 480, 0xffffff);
    const double whiteShown = MonotonicClock::nowSeconds();
    player.join();
    untilFed(6.0);
    source->stopRecording();
    const double stopped = MonotonicClock::nowSeconds();
    ASSERT_TRUE(
        zimlo::test::pumpUntil([&] { return finished.has_value(); }, std::chrono::seconds(30)));
    animation.stop();
    quiet = true;
    microphoneFeed.join();
    const double spoken = fed.load() + 4.8;  // pieces go in at the device's pace
    shutDown(*source);
    ASSERT_TRUE(finished->first && finished->second);
    const std::string movie = finished->first->string();
    const std::string cameraMovie = finished->second->string();
    const double expected = stopped - started - paused;
    std::cout << "paused " << paused << " s of " << stopped - started << " s\n";

    // Lengths: every track of both movies lacks the pause.
    auto streams =
        lines(run("ffprobe -v error -show_entries stream=codec_type,start_time,duration "
                  "-of csv=p=0 '" +
                  movie + "'"));
    ASSERT_EQ(streams.size(), 3u);
    for (const auto& stream : streams) {
        const double duration = std::stod(stream.substr(stream.rfind(',') + 1));
        EXPECT_NEAR(duration, expected, 0.3) << stream;
    }
    const double cameraDuration = std::stod(
        run("ffprobe -v error -show_entries stream=duration -of csv=p=0 '" + cameraMovie + "'"));
    EXPECT_NEAR(cameraDuration, expected, 0.3);

    // Pictures: never red; the grey and the white mark as far apart as they were less the pause;
    // no picture held for long where the pause was cut out.
    auto frameTimes = lines(
        run("ffprobe -v error -select_streams v:0 -show_entries frame=pts_time -of csv=p=0 '" +
            movie + "'"));
    const std::string pictures =
        run("ffmpeg -v error -i '" + movie +
            "' -map 0:v:0 -vf crop=iw/2:ih:iw/2:0,scale=1:1 -pix_fmt rgb24 -fps_mode passthrough "
            "-f rawvideo - 2>/dev/null");
    ASSERT_EQ(pictures.size(), frameTimes.size() * 3);
    std::optional<double> greyAt, whiteAt;
    int redFrames = 0;
    double longestHold = 0;
    for (size_t i = 0; i < frameTimes.size(); ++i) {
        const double t = std::stod(frameTimes[i]);
        if (i > 0) longestHold = std::max(longestHold, t - std::stod(frameTimes[i - 1]));
        const int r = static_cast<unsigned char>(pictures[i * 3]);
        const int g = static_cast<unsigned char>(pictures[i * 3 + 1]);
        if (r > 180 && g < 80) ++redFrames;
        if (!greyAt && r > 100 && r < 160 && g > 100 && g < 160) greyAt = t;
        if (!whiteAt && r > 200 && g > 200) whiteAt = t;
    }
    EXPECT_EQ(redFrames, 0) << "the pause's picture is in the movie";
    ASSERT_TRUE(greyAt && whiteAt);
    const double frame = 1.0 / 30;
    EXPECT_NEAR(*whiteAt - *greyAt, (whiteShown - greyShown) - paused, 0.05 + 2 * frame);
    EXPECT_LT(longestHold, 0.5) << "a picture stands still in the movie";

    // Sounds: the first tone each track holds is the one after the resume, in step with the
    // white flash as the capture tests require; the pause's tones are gone.
    auto onset = [&](int track) -> std::optional<double> {
        const std::string& stream = streams[static_cast<size_t>(track) + 1];
        const double start = std::stod(stream.substr(6, stream.find(',', 6) - 6));
        std::string raw =
            run("ffmpeg -v error -i '" + movie + "' -map 0:a:" + std::to_string(track) +
                " -ac 1 -ar 48000 -f f32le -");
        auto index = firstLoud(raw, 0.3f);
        if (!index) return std::nullopt;
        return start + static_cast<double>(*index) / 48000.0;
    };
    auto systemOnset = onset(0);
    auto microphoneOnset = onset(1);
    ASSERT_TRUE(systemOnset && microphoneOnset);
    double systemError = (*systemOnset - *whiteAt) - (played.load() - whiteShown);
    double microphoneError = (*microphoneOnset - *whiteAt) - (spoken - whiteShown);
    std::cout << "after the pause: system audio offset " << systemError * 1000
              << " ms, microphone offset " << microphoneError * 1000 << " ms\n";
    EXPECT_GT(systemError, -0.05 - frame);
    EXPECT_LT(systemError, 0.05);
    EXPECT_GT(microphoneError, -0.05 - frame);
    EXPECT_LT(microphoneError, 0.05);
}

}  // namespace
}  // namespace zimlo::capture
