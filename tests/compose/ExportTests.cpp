#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include <array>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <thread>

#include "compose/ExportSession.h"
#include "compose/SubtitleRenderer.h"
#include "compose/VideoCompositor.h"
#include "platform/runtime/MainQueue.h"
#include "support/LogCapture.h"
#include "support/ResultValue.h"
#include "support/TestMain.h"

namespace zimlo::compose {
namespace {

namespace fs = std::filesystem;
using Colour = std::array<int, 3>;

std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return output;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    pclose(pipe);
    return output;
}

// Source movies made with the ffmpeg command-line tool: flat colours survive H.264 well.
class ExportTest : public ::testing::Test {
  public:
    static fs::path dir;

    static void SetUpTestSuite() {
        dir = fs::temp_directory_path() / ("zimlo-export-tests-" + std::to_string(getpid()));
        fs::create_directories(dir);
        const std::string f = "ffmpeg -v error -y ";
        const std::string h264 = " -c:v libx264 -preset ultrafast -pix_fmt yuv420p ";
        std::system((f + "-f lavfi -i color=c=red:s=640x360:r=30:d=3 -f lavfi -i sine=f=440:d=3 " +
                     h264 + "-c:a aac -b:a 96k " + (dir / "main.mov").string())
                        .c_str());
        std::system((f + "-f lavfi -i color=c=blue:s=320x240:r=30:d=2" + h264 +
                     (dir / "camera.mov").string())
                        .c_str());
        std::system((f +
                     "-f lavfi -i color=c=red:s=320x180:r=30:d=1 -f lavfi -i sine=d=1 -f lavfi -i "
                     "sine=f=880:d=1 -map 0 -map 1 -map 2 " +
                     h264 + "-c:a aac " + (dir / "two-audio.mov").string())
                        .c_str());
        std::system((f + "-f lavfi -i color=c=red:s=320x180:r=30:d=1 -f lavfi -i sine=d=2" + h264 +
                     "-c:a aac " + (dir / "short-video.mov").string())
                        .c_str());
        std::system(
            (f + "-f lavfi -i sine=d=1 -c:a aac " + (dir / "audio-only.m4a").string()).c_str());
        // Written to a pipe, so the container never learns its duration.
        std::system((f + "-f lavfi -i color=c=red:s=320x180:r=30:d=2" + h264 + "-f matroska - > " +
                     (dir / "no-duration.mkv").string())
                        .c_str());
        // A screen whose picture changes shape after 1 s (640 × 360, then 640 × 238), in BT.709,
        // and a camera in BT.601: colour patches made in each matrix and tagged as such.
        const std::string bt709 =
            " -vf scale=out_color_matrix=bt709:out_range=tv,format=yuv420p -colorspace bt709 "
            "-color_primaries bt709 -color_trc bt709 -color_range tv ";
        const std::string bt601 =
            " -vf scale=out_color_matrix=bt601:out_range=tv,format=yuv420p -colorspace smpte170m "
            "-color_primaries smpte170m -color_trc smpte170m -color_range tv ";
        std::system((f + "-f lavfi -i color=c=0xE02040:s=640x360:r=30:d=1" + bt709 + h264 +
                     "-f h264 " + (dir / "wide.h264").string())
                        .c_str());
        std::system((f + "-f lavfi -i color=c=0x30A0E0:s=640x238:r=30:d=1" + bt709 + h264 +
                     "-f h264 " + (dir / "wider.h264").string())
                        .c_str());
        std::system(("cat '" + (dir / "wide.h264").string() + "' '" +
                     (dir / "wider.h264").string() + "' > '" + (dir / "reshaped.h264").string() +
                     "'")
                        .c_str());
        std::system((f + "-framerate 30 -f h264 -i " + (dir / "reshaped.h264").string() +
                     " -c copy " + (dir / "reshaped.mov").string())
                        .c_str());
        std::system((f + "-f lavfi -i color=c=0x40C040:s=320x240:r=30:d=2" + bt601 + h264 +
                     (dir / "camera-601.mov").string())
                        .c_str());
        // A second of red with sound whose last picture came 10 ms after the one before, as a
        // recording's does when it takes its last picture again one frame before the stop.
        std::system((f + "-f lavfi -i color=c=red:s=320x180:r=30:d=1 -f lavfi -i sine=d=1 " +
                     "-vf 'settb=1/3000,setpts=if(eq(N\\,29)\\,2830\\,N*100)' " +
                     "-fps_mode passthrough -enc_time_base:v 1/3000 -video_track_timescale 3000" +
                     h264 + "-c:a aac " + (dir / "taken-again.mov").string())
                        .c_str());
        // One picture and no sound (a short recording of a still screen).
        std::system((f + "-f lavfi -i color=c=red:s=320x180:r=30 -frames:v 1" + h264 +
                     (dir / "one-picture.mov").string())
                        .c_str());
        // Eight channels of 192 kHz PCM, which an MPEG-4 movie cannot hold as they are.
        std::system((f +
                     "-f lavfi -i color=c=red:s=320x180:r=30:d=1 -f lavfi -i "
                     "sine=f=440:sample_rate=192000:d=1 -ac 8" +
                     h264 + "-c:a pcm_s16le " + (dir / "pcm8.mov").string())
                        .c_str());
        // Pictures whose own headers claim another size than the movie: none decodes.
        std::system((f + "-f lavfi -i color=c=red:s=320x180:r=30:d=1 -c:v mjpeg " +
                     (dir / "mjpeg.mov").string())
                        .c_str());
        std::system((f + "-f lavfi -i color=c=red:s=320x180:r=30 -frames:v 1 -c:v png " +
                     (dir / "png.mov").string())
                        .c_str());
        // Three seconds of noise, which keeps the encoder writing from the first frames on.
        std::system((f + "-f lavfi -i nullsrc=s=320x180:r=30:d=3 -vf 'geq=random(1)*255:128:128'" +
                     h264 + "-crf 30 " + (dir / "noise-3s.mov").string())
                        .c_str());
        // Noise, stored nearly losslessly: far more bits than an export of its size may use.
        std::system((f + "-f lavfi -i nullsrc=s=640x360:r=30:d=1 -vf 'geq=random(1)*255:128:128'" +
                     h264 + "-qp 4 " + (dir / "noise.mov").string())
                        .c_str());
    }
    static void TearDownTestSuite() { fs::remove_all(dir); }

    void SetUp() override { ASSERT_TRUE(ensureTextEngine()); }

    static RecordingProject project(const std::string& main,
                                    std::optional<std::string> camera = std::nullopt) {
        RecordingProject p;
        p.id = Uuid::generate();
        p.mainVideo = dir / main;
        if (camera) p.pipVideo = dir / *camera;
        p.duration = 3;
        p.emphasizesSubtitleKeywords = false;
        return p;
    }

    // Exports on this thread's main queue and waits for the completion.
    static VideoCompositor::Result exportNow(const RecordingProject& p, double start = 0,
                                             std::optional<double> end = std::nullopt, int fps = 30,
                                             const fs::path& into = {}) {
        auto compositor = std::make_shared<VideoCompositor>();
        compositor->exportDirectory = into;
        compositor->exportLongEdge = 1920;
        compositor->exportFrameRate = fps;
        std::optional<VideoCompositor::Result> result;
        bool onMain = false;
        double lastProgress = 0;
        compositor->exportMovie(
            p, true, start, end,
            [&](VideoCompositor::Result r) {
                onMain = MainQueue::isMainThread();
                result = std::move(r);
            },
            [&](double fraction) { lastProgress = fraction; });
        EXPECT_TRUE(test::pumpUntil([&] { return result.has_value(); }, std::chrono::minutes(3)));
        EXPECT_TRUE(onMain);
        if (result && result->ok()) {
            EXPECT_GT(lastProgress, 0.9);
        }
        return result.value_or(fail(CompositorError::exportSessionFailed("timed out")));
    }

    // Decoded frames (RGB) of a movie at the given indices, by the ffmpeg command-line tool.
    struct Picture {
        int width = 0;
        std::string rgb;
        Colour at(int x, int y) const {
            const auto* p = reinterpret_cast<const unsigned char*>(rgb.data()) +
                            3 * (static_cast<size_t>(y) * width + x);
            return {p[0], p[1], p[2]};
        }
    };
    static std::map<int, Picture> frames(const fs::path& movie, const std::vector<int>& wanted) {
        std::map<int, Picture> out;
        std::istringstream size(
            run("ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of "
                "csv=p=0:s=x '" +
                movie.string() + "'"));
        int width = 0, height = 0;
        char x = 0;
        if (!(size >> width >> x >> height)) return out;
        std::string select;
        for (int index : wanted)
            select +=
                (select.empty() ? "" : "+") + std::string("eq(n\\,") + std::to_string(index) + ")";
        std::string bytes = run("ffmpeg -v error -i '" + movie.string() + "' -vf \"select='" +
                                select + "'\" -vsync 0 -f rawvideo -pix_fmt rgb24 -");
        const size_t frameBytes = static_cast<size_t>(width) * height * 3;
        for (size_t i = 0; i < wanted.size() && (i + 1) * frameBytes <= bytes.size(); ++i)
            out[wanted[i]] = Picture{width, bytes.substr(i * frameBytes, frameBytes)};
        return out;
    }

    static std::string probe(const fs::path& movie, const std::string& entries,
                             const std::string& stream = "v:0") {
        return run("ffprobe -v error -count_frames -select_streams " + stream + " -show_entries " +
                   entries + " -of default=nw=1:nk=1 '" + movie.string() + "'");
    }
};
fs::path ExportTest::dir;

Colour at(const ExportTest::Picture& picture, int x, int y) { return picture.at(x, y); }

MATCHER_P(Near, colour, "") {
    for (int c = 0; c < 3; ++c)
        if (std::abs(arg[c] - colour[c]) > 24) return false;
    return true;
}

const Colour kRed{255, 0, 0}, kBlue{0, 0, 255}, kBlack{0, 0, 0};

TEST_F(ExportTest, PictureInPictureMovieFollowsKeyframesAndPassesProbe) {
    auto p = project("main.mov", "camera.mov");
    p.aspect.pip.cornerRatio = 1;  // radius 45: the corner is clearly left open
    p.pipTrack = {{0, {0.25, 0.25}, {0.25, 0.25}, 10}, {1, {0.75, 0.75}, {0.25, 0.25}, 10}};
    p.subtitleTrack = {{Uuid::generate(), 2, 3, "字幕"}};
    auto result = exportNow(p);
    ASSERT_TRUE(result.ok()) << result.error().description();
    const auto movie = result.value();
    EXPECT_EQ(movie.parent_path(), fs::temp_directory_path());
    EXPECT_EQ(movie.filename().string().rfind("zimlo_export_", 0), 0u);
    EXPECT_EQ(movie.extension(), ".mp4");

    EXPECT_EQ(probe(movie, "stream=codec_name,width,height,r_frame_rate,nb_read_frames"),
              "h264\n640\n360\n30/1\n90\n");
    EXPECT_EQ(probe(movie, "stream=codec_name,bit_rate", "a:0").substr(0, 4), "aac\n");
    // A copied track keeps the source's rate (96 kb/s), well under what a fresh encode uses.
    EXPECT_LT(std::stoi(probe(movie, "stream=bit_rate", "a:0")), 110000);
    std::ifstream file(movie, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), {});
    EXPECT_LT(bytes.find("moov"), bytes.find("mdat"));

    auto decoded = frames(movie, {15, 45, 75});
    ASSERT_EQ(decoded.size(), 3u);
    // Window 160 × 90 centred on (160, 90), then on (480, 270) from 1 s.
    EXPECT_THAT(at(decoded[15], 160, 90), Near(kBlue));
    EXPECT_THAT(at(decoded[15], 90, 90), Near(kBlue));
    EXPECT_THAT(at(decoded[15], 72, 90), Near(kRed));
    EXPECT_THAT(at(decoded[15], 84, 49), Near(kRed));  // rounded corner
    EXPECT_THAT(at(decoded[15], 480, 270), Near(kRed));
    EXPECT_THAT(at(decoded[45], 480, 270), Near(kBlue));
    EXPECT_THAT(at(decoded[45], 160, 90), Near(kRed));
    // The camera movie ends at 2 s: no window after it; the subtitle shows from 2 s.
    EXPECT_THAT(at(decoded[75], 480, 270), Near(kRed));
    int white = 0;
    for (int y = 0; y < 360; ++y)
        for (int x = 0; x < 640; ++x) {
            auto c = at(decoded[75], x, y);
            if (c[0] > 230 && c[1] > 230 && c[2] > 230) ++white;
        }
    EXPECT_GT(white, 200);
    fs::remove(movie);
}

MATCHER_P(Close, colour, "") {
    for (int c = 0; c < 3; ++c)
        if (std::abs(arg[c] - colour[c]) > 10) return false;
    return true;
}

// The fitted screen keeps its proportions when its picture changes shape: black bands above and
// below (an odd number of rows, so chroma is shared across the band's edge). Colours keep their
// values whether the source is drawn as it is (BT.709) or converted (BT.601): a mix-up of the
// two moves these patches by 15 to 20 levels.
TEST_F(ExportTest, FittedScreenIsLetterboxedAndColoursKeepTheirValues) {
    auto p = project("reshaped.mov", "camera-601.mov");
    p.duration = 2;
    p.pipTrack = {{0, {0.75, 0.5}, {0.25, 0.25}, 0}};  // 160 × 90 around (480, 180)
    auto result = exportNow(p);
    ASSERT_TRUE(result.ok()) << result.error().description();
    const auto movie = result.value();
    EXPECT_EQ(probe(movie, "stream=width,height,color_space,color_range,nb_read_frames"),
              "640\n360\ntv\nbt709\n60\n");
    auto decoded = frames(movie, {15, 45});
    ASSERT_EQ(decoded.size(), 2u);
    const Colour wide{0xE0, 0x20, 0x40}, wider{0x30, 0xA0, 0xE0}, camera{0x40, 0xC0, 0x40};
    EXPECT_THAT(at(decoded[15], 160, 180), Close(wide));
    EXPECT_THAT(at(decoded[15], 160, 2), Close(wide));
    EXPECT_THAT(at(decoded[15], 480, 180), Close(camera));
    // 640 × 238 centred: rows 61 to 298, the rest black.
    for (int y : {2, 30, 57, 302, 330, 357})
        EXPECT_THAT(at(decoded[45], 160, y), Near(kBlack)) << y;
    for (int y : {64, 295}) EXPECT_THAT(at(decoded[45], 160, y), Near(wider)) << y;
    EXPECT_THAT(at(decoded[45], 160, 180), Close(wider));
    EXPECT_THAT(at(decoded[45], 480, 180), Close(camera));
    fs::remove(movie);
}

TEST_F(ExportTest, TrimmedSplitScreenMovie) {
    auto p = project("main.mov", "camera.mov");
    p.sourceKind = RecordingSourceKind::camera;
    p.captureViewportSize = Size{360, 640};
    p.aspect =
        AspectSettings(AspectRatio::default_, true, true, CameraSplitOrder::frontTop, 0.8, {});
    auto result = exportNow(p, 0.5, 1.5);
    ASSERT_TRUE(result.ok()) << result.error().description();
    const auto movie = result.value();
    // Camera recordings take the long edge as it is (only screens are never scaled up).
    EXPECT_EQ(probe(movie, "stream=width,height,nb_read_frames"), "1080\n1920\n30\n");
    auto decoded = frames(movie, {10});
    ASSERT_EQ(decoded.size(), 1u);
    // Ratio 0.8 clamped to 0.72: camera rows 0 to 1381, screen below.
    EXPECT_THAT(at(decoded[10], 540, 1360), Near(kBlue));
    EXPECT_THAT(at(decoded[10], 540, 1404), Near(kRed));
    fs::remove(movie);
}

TEST_F(ExportTest, MissingPicturesAreBlackAndSeveralSoundTracksAreMixed) {
    auto shortVideo = exportNow(project("short-video.mov"));
    ASSERT_TRUE(shortVideo.ok());
    auto decoded = frames(shortVideo.value(), {15, 50});
    ASSERT_EQ(decoded.size(), 2u);
    EXPECT_THAT(at(decoded[15], 160, 90), Near(kRed));
    EXPECT_THAT(at(decoded[50], 160, 90), Near(kBlack));
    fs::remove(shortVideo.value());

    auto mixed = exportNow(project("two-audio.mov"));
    ASSERT_TRUE(mixed.ok());
    EXPECT_EQ(
        run("ffprobe -v error -select_streams a -show_entries stream=codec_name -of csv=p=0 '" +
            mixed.value().string() + "'"),
        "aac\n");
    fs::remove(mixed.value());
}

// The encoder's search effort follows what the sources need: the light search for flat
// pictures, the preset's own for noise ("faster" at 640 × 360). x264 writes its settings into
// the movie.
TEST_F(ExportTest, EncoderSearchFollowsHowBusyTheSourcesAre) {
    auto settingsOf = [](const VideoCompositor::Result& result) {
        EXPECT_TRUE(result.ok());
        if (!result.ok()) return std::string();
        const auto movie = result.value();
        std::ifstream file(movie, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(file)), {});
        fs::remove(movie);
        const size_t at = bytes.find("options: ");
        return at == std::string::npos ? std::string()
                                       : bytes.substr(at, bytes.find('\0', at) - at);
    };
    auto flat = project("main.mov", "camera.mov");
    flat.pipTrack = {{0, {0.25, 0.25}, {0.25, 0.25}, 10}};
    const std::string light = settingsOf(exportNow(flat));
    EXPECT_NE(light.find(" subme=0 "), std::string::npos) << light;
    EXPECT_NE(light.find(" bframes=0 "), std::string::npos) << light;
    EXPECT_NE(light.find(" 8x8dct=1 "), std::string::npos) << light;

    auto noisy = project("noise.mov");
    noisy.duration = 1;
    const std::string thorough = settingsOf(exportNow(noisy));
    EXPECT_NE(thorough.find(" subme=4 "), std::string::npos) << thorough;
    EXPECT_NE(thorough.find(" bframes=3 "), std::string::npos) << thorough;
}

// Decoding alone, and decoding with drawing, run every frame through those stages for timing and
// leave no movie behind.
TEST_F(ExportTest, StagesShortOfTheWholeExportWriteNothing) {
    VideoCompositor compositor;
    auto p = project("main.mov", "camera.mov");
    p.pipTrack = {{0, {0.25, 0.25}, {0.25, 0.25}, 10}};
    const auto built = compositor.buildComposition(p, true, 0, std::nullopt);
    ASSERT_TRUE(built.ok()) << built.error().description();
    for (auto stages : {ExportSession::Stages::decode, ExportSession::Stages::compose}) {
        const auto url = dir / "stage.mp4";
        auto session = ExportSession::create(
            *built, url,
            encoderSettingsForPreset("AVAssetExportPresetHighestQuality", 640, 360, 30), 30,
            stages);
        ASSERT_TRUE(session);
        std::promise<ExportSession::Outcome> outcome;
        session->start([&](ExportSession::Outcome ended) { outcome.set_value(std::move(ended)); },
                       {});
        auto future = outcome.get_future();
        ASSERT_EQ(future.wait_for(std::chrono::minutes(1)), std::future_status::ready);
        const auto ended = future.get();
        EXPECT_TRUE(ended) << ended.error();
        EXPECT_FALSE(fs::exists(url));
    }
}

TEST_F(ExportTest, BuildRulesOnRealMovies) {
    VideoCompositor compositor;
    auto p = project("main.mov", "camera.mov");
    auto whole = compositor.buildComposition(p, true, 0, std::nullopt);
    ASSERT_TRUE(whole.ok()) << whole.error().description();
    const auto& instruction = *whole->videoComposition.instructions.front();
    EXPECT_EQ(instruction.timeRange.duration, media::MediaTime::make(3, 1));
    EXPECT_TRUE(instruction.fitsMainContent);
    // PiP on but no keyframes: the camera track is added, not drawn.
    EXPECT_EQ(whole->composition.tracks.size(), 3u);
    EXPECT_FALSE(instruction.pipTrackID);
    EXPECT_FALSE(whole->audioMix);

    p.pipTrack = {{0, {0.5, 0.5}, {0.2, 0.2}, 0}};
    auto late = compositor.buildComposition(p, true, 2.5, 1.0);
    ASSERT_TRUE(late.ok()) << late.error().description();
    EXPECT_EQ(late->composition.duration, media::MediaTime::make(6, 600));  // 0.01 s
    EXPECT_TRUE(late->videoComposition.instructions.front()->pipTrackID);
    // The 2-second camera movie has nothing left after 2.5 s.
    EXPECT_FALSE(late->composition.tracks.back().sourceRange);
    auto trimmed = compositor.buildComposition(p, true, 1, std::nullopt);
    ASSERT_TRUE(trimmed.ok()) << trimmed.error().description();
    EXPECT_EQ(trimmed->composition.tracks.back().sourceRange->duration,
              media::MediaTime::make(600, 600));

    auto two = compositor.buildComposition(project("two-audio.mov"), true, 0, std::nullopt);
    ASSERT_TRUE(two.ok()) << two.error().description();
    ASSERT_TRUE(two->audioMix);
    ASSERT_EQ(two->audioMix->inputParameters.size(), 2u);
    EXPECT_EQ(two->audioMix->inputParameters[0].volume, 0.8f);
    EXPECT_EQ(two->audioMix->inputParameters[1].volume, 1.0f);
}

// The project's own duration only stands in where the movie has none, and the export never runs
// past the media it reads: a hostile document cannot make it endless or cut it to one frame.
TEST_F(ExportTest, AnExportEndsWithTheMediaWhateverTheDocumentClaims) {
    auto p = project("no-duration.mkv");
    p.duration = 1e7;
    auto started = std::chrono::steady_clock::now();
    auto bounded = exportNow(p);
    ASSERT_TRUE(bounded.ok()) << bounded.error().description();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
    const double seconds = std::stod(probe(bounded.value(), "format=duration"));
    EXPECT_NEAR(seconds, 2.0, 0.2);
    EXPECT_EQ(probe(bounded.value(), "stream=nb_read_frames"), "60\n");
    fs::remove(bounded.value());

    p.duration = 1e300;
    auto absurd = exportNow(p);
    ASSERT_FALSE(absurd.ok());
    EXPECT_NE(absurd.error().description().find("时长"), std::string::npos);
}

// Each also leaves one line in the log, saying what was missing.
TEST_F(ExportTest, EarlyFailuresAreReportedBeforeReturning) {
    test::LogCapture captured(log::Level::warn);
    VideoCompositor compositor;
    std::optional<VideoCompositor::Result> result;
    auto p = project("main.mov");
    p.mainVideo.reset();
    compositor.exportMovie(p, true, 0, std::nullopt,
                           [&](VideoCompositor::Result r) { result = r; });
    ASSERT_TRUE(result);
    EXPECT_EQ(result->error(), CompositorError::missingMainVideo());
    auto lines = captured.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("compose: composing the recording " + p.id.uuidString() +
                            ": it names no main movie"),
              std::string::npos)
        << lines[0];
    result.reset();
    compositor.exportMovie(project("audio-only.m4a"), true, 0, std::nullopt,
                           [&](VideoCompositor::Result r) { result = r; });
    ASSERT_TRUE(result);
    EXPECT_EQ(result->error(), CompositorError::missingMainTrack());
    lines = captured.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("audio-only.m4a has no video track"), std::string::npos) << lines[1];

    // A movie URL that names no file here cannot be read: as a main movie it is an unreadable
    // one; as the camera movie the export goes on without the camera.
    p.mainVideo = MovieURL::remote("https://example.com/main.mov");
    result.reset();
    compositor.exportMovie(p, true, 0, std::nullopt,
                           [&](VideoCompositor::Result r) { result = r; });
    ASSERT_TRUE(result);
    EXPECT_EQ(result->error(), CompositorError::missingMainTrack());
    auto remoteCamera = project("main.mov");
    remoteCamera.pipVideo = MovieURL::remote("https://example.com/camera.mov");
    remoteCamera.pipTrack = {{0, {0.5, 0.5}, {0.2, 0.2}, 0}};
    auto built = compositor.buildComposition(remoteCamera, true, 0, std::nullopt);
    ASSERT_TRUE(built.ok()) << built.error().description();
    for (const auto& track : built->composition.tracks)
        EXPECT_EQ(track.sourcePath, dir / "main.mov");
    EXPECT_FALSE(built->videoComposition.instructions.front()->pipTrackID);

    // A $TMPDIR that names no folder leaves the movie nowhere to go: said, not thrown.
    const char* previous = std::getenv("TMPDIR");
    const std::string restored = previous ? previous : "";
    const fs::path missing = dir / "missing";
    setenv("TMPDIR", missing.c_str(), 1);
    result.reset();
    compositor.exportMovie(project("main.mov"), true, 0, std::nullopt,
                           [&](VideoCompositor::Result r) { result = r; });
    const fs::path url = VideoCompositor::exportPath();
    previous ? setenv("TMPDIR", restored.c_str(), 1) : unsetenv("TMPDIR");
    EXPECT_TRUE(url.empty());
    ASSERT_TRUE(result);
    ASSERT_FALSE(result->ok());
    EXPECT_EQ(result->error().description().rfind(
                  "导出失败：临时文件夹不可用（" + missing.string() + "）：", 0),
              0u)
        << result->error().description();
    EXPECT_EQ(captured.linesWith("no folder to write the movie in").size(), 1u);
}

// The output cannot grow past 8 KiB (a full disk): the export fails after it started, on the
// main queue, with the writer's description.
TEST_F(ExportTest, AnExportThatFailsWhileWritingReportsWhy) {
    rlimit previous{};
    getrlimit(RLIMIT_FSIZE, &previous);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = previous;
    limited.rlim_cur = 8 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    auto p = project("main.mov");
    p.subtitleTrack = {SubtitleSegment{Uuid::generate(), 0, 3, "字幕"}};
    // The partial movie is the caller's to remove: keep it in this suite's folder.
    const fs::path scratch = dir / "failing-export";
    fs::create_directories(scratch);
    const std::string temporary = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    setenv("TMPDIR", scratch.c_str(), 1);
    VideoCompositor::Result result = exportNow(p);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);
    if (temporary.empty())
        unsetenv("TMPDIR");
    else
        setenv("TMPDIR", temporary.c_str(), 1);

    ASSERT_FALSE(result.ok());
    const auto& error = result.error();
    EXPECT_EQ(error.kind(), CompositorError::Case::exportSessionFailed);
    EXPECT_FALSE(error.message().empty());
    EXPECT_NE(error.message(), "未知错误");
    EXPECT_EQ(error.description(), "导出失败：" + error.message()) << error.description();
}

// A session that ends in failure without a reason is reported as "未知错误"; one that cannot
// be set up as "无法创建导出会话", before exportMovie returns. Neither leaves a file behind.
TEST_F(ExportTest, SessionFailuresWithoutAReasonAndSessionsThatCannotStart) {
    auto compositor = std::make_shared<VideoCompositor>();
    compositor->exportDirectory = dir / "claimed";
    fs::create_directories(compositor->exportDirectory);
    fs::path claimed;
    compositor->sessionStarter = [&claimed](const VideoCompositor::Built&, const fs::path& output,
                                            const ExportEncoderSettings&, int,
                                            VideoCompositor::SessionFinished finished,
                                            VideoCompositor::SessionProgress) {
        claimed = output;
        std::thread([finished] { finished(fail(std::string())); }).detach();
        return true;
    };
    std::optional<VideoCompositor::Result> result;
    compositor->exportMovie(project("main.mov"), true, 0, std::nullopt,
                            [&](VideoCompositor::Result r) { result = std::move(r); });
    EXPECT_FALSE(result.has_value());  // a started export reports later, on the main queue
    ASSERT_TRUE(test::pumpUntil([&] { return result.has_value(); }));
    ASSERT_FALSE(result->ok());
    EXPECT_EQ(result->error().description(), "导出失败：未知错误");
    // The name it claimed in the folder asked for is given back.
    EXPECT_EQ(claimed.parent_path(), dir / "claimed");
    EXPECT_FALSE(fs::exists(claimed));

    compositor->sessionStarter =
        [](const VideoCompositor::Built&, const fs::path&, const ExportEncoderSettings&, int,
           VideoCompositor::SessionFinished, VideoCompositor::SessionProgress) { return false; };
    result.reset();
    compositor->exportMovie(project("main.mov"), true, 0, std::nullopt,
                            [&](VideoCompositor::Result r) { result = std::move(r); });
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->error().description(), "导出失败：无法创建导出会话");
    EXPECT_TRUE(fs::is_empty(dir / "claimed")) << "no name stays claimed";
}

// A copy of a source movie with every `from` four-character code after the `nth` (0-based)
// sample description renamed, so that nothing here can read what it describes.
fs::path withUnknownFormat(const std::string& source, const std::string& copy, int nth,
                           const std::vector<std::string>& from) {
    std::ifstream in(ExportTest::dir / source, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    size_t at = 0;
    for (int i = 0; i <= nth; ++i) at = bytes.find("stsd", i == 0 ? 0 : at + 4);
    EXPECT_NE(at, std::string::npos);
    for (const auto& name : from)
        for (size_t i = bytes.find(name, at); i != std::string::npos; i = bytes.find(name, i + 4))
            bytes.replace(i, 4, "zzzz");
    std::ofstream(ExportTest::dir / copy, std::ios::binary | std::ios::trunc) << bytes;
    return ExportTest::dir / copy;
}

// A copy of a source movie with `patch` applied to its bytes.
fs::path patchedCopy(const std::string& source, const std::string& copy,
                     const std::function<void(std::string&)>& patch) {
    std::ifstream in(ExportTest::dir / source, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    patch(bytes);
    std::ofstream(ExportTest::dir / copy, std::ios::binary | std::ios::trunc) << bytes;
    return ExportTest::dir / copy;
}

// The CRC-32 a PNG chunk ends with.
uint32_t pngChunkCRC(const char* data, size_t size) {
    uint32_t crc = 0xffffffff;
    for (size_t i = 0; i < size; ++i) {
        crc ^= static_cast<unsigned char>(data[i]);
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

void putBigEndian(std::string& bytes, size_t at, uint32_t value, int size) {
    for (int i = 0; i < size; ++i)
        bytes[at + i] = static_cast<char>((value >> (8 * (size - 1 - i))) & 0xff);
}

// A one-picture movie without sound is held for a frame rather than cut to nothing; a movie none
// of whose pictures decodes fails the export (so the raw recording is kept) and leaves no file.
TEST_F(ExportTest, APictureOnItsOwnIsHeldAndAMovieWithoutPicturesFails) {
    auto one = exportNow(project("one-picture.mov"));
    ASSERT_TRUE(one.ok()) << one.error().description();
    EXPECT_EQ(probe(one.value(), "stream=nb_read_frames"), "1\n");
    auto decoded = frames(one.value(), {0});
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_THAT(at(decoded[0], 160, 90), Near(kRed));
    fs::remove(one.value());

    // JPEG and PNG pictures whose headers claim 4000 × 4000: none decodes.
    patchedCopy("mjpeg.mov", "mjpeg-lying.mov", [](std::string& bytes) {
        const std::string frameHeader("\xff\xc0\x00\x11\x08", 5);
        for (size_t i = bytes.find(frameHeader); i != std::string::npos;
             i = bytes.find(frameHeader, i + 9)) {
            putBigEndian(bytes, i + 5, 4000, 2);
            putBigEndian(bytes, i + 7, 4000, 2);
        }
    });
    patchedCopy("png.mov", "png-lying.mov", [](std::string& bytes) {
        const size_t header = bytes.find("IHDR");
        ASSERT_NE(header, std::string::npos);
        putBigEndian(bytes, header + 4, 4000, 4);
        putBigEndian(bytes, header + 8, 4000, 4);
        putBigEndian(bytes, header + 17, pngChunkCRC(bytes.data() + header, 17), 4);
    });
    const fs::path into = dir / "no-pictures";
    fs::create_directories(into);
    for (const char* name : {"mjpeg-lying.mov", "png-lying.mov"}) {
        SCOPED_TRACE(name);
        auto none = exportNow(project(name), 0, std::nullopt, 30, into);
        ASSERT_FALSE(none.ok());
        EXPECT_EQ(none.error().description(), "导出失败：无法读取主画面：影片中没有可用的画面");
        EXPECT_TRUE(fs::is_empty(into));
    }
}

// A last picture that came just after the one before still lasts a frame: the movie's last
// frame shows it rather than nothing.
TEST_F(ExportTest, ALastPictureSoonAfterTheOneBeforeIsShownForAWholeFrame) {
    auto exported = exportNow(project("taken-again.mov"));
    ASSERT_TRUE(exported.ok()) << exported.error().description();
    EXPECT_EQ(probe(exported.value(), "stream=nb_read_frames"), "30\n");
    auto decoded = frames(exported.value(), {28, 29});
    ASSERT_EQ(decoded.size(), 2u);
    EXPECT_THAT(at(decoded[28], 160, 90), Near(kRed));
    EXPECT_THAT(at(decoded[29], 160, 90), Near(kRed));
    fs::remove(exported.value());
}

// Sound an MPEG-4 movie cannot hold as it is gets converted; a sound track nothing here can read
// is left out, and the picture (and any other sound) goes on.
TEST_F(ExportTest, SoundIsConvertedWhenItCannotBeCopiedAndLeftOutWhenItCannotBeRead) {
    auto converted = exportNow(project("pcm8.mov"));
    ASSERT_TRUE(converted.ok()) << converted.error().description();
    EXPECT_EQ(probe(converted.value(), "stream=codec_name,sample_rate,channels", "a:0"),
              "aac\n48000\n2\n");
    const std::string sound =
        run("ffmpeg -v error -i '" + converted.value().string() + "' -ac 1 -f f32le -");
    float loudest = 0;
    for (size_t i = 0; i + 4 <= sound.size(); i += 4) {
        float v = 0;
        std::memcpy(&v, sound.data() + i, 4);
        loudest = std::max(loudest, std::fabs(v));
    }
    EXPECT_GT(loudest, 0.1f);  // the source's tone is at 1/8
    fs::remove(converted.value());

    withUnknownFormat("main.mov", "unreadable-sound.mov", 1, {"mp4a", "esds"});
    auto silent = exportNow(project("unreadable-sound.mov"));
    ASSERT_TRUE(silent.ok()) << silent.error().description();
    EXPECT_EQ(probe(silent.value(), "stream=nb_read_frames"), "90\n");
    EXPECT_EQ(probe(silent.value(), "stream=codec_type", "a"), "");
    fs::remove(silent.value());

    withUnknownFormat("two-audio.mov", "one-readable-sound.mov", 2, {"mp4a", "esds"});
    auto half = exportNow(project("one-readable-sound.mov"));
    ASSERT_TRUE(half.ok()) << half.error().description();
    EXPECT_EQ(probe(half.value(), "stream=codec_name", "a"), "aac\n");
    fs::remove(half.value());
}

// A main movie whose pictures cannot be decoded (though it has a video track) and an export
// whose file cannot be made both fail with the reason and leave nothing behind.
TEST_F(ExportTest, AnUndecodableMainMovieOrAnUnwritableFolderFailsTheExport) {
    withUnknownFormat("main.mov", "undecodable.mov", 0, {"avc1", "avcC"});
    const fs::path into = dir / "undecodable";
    fs::create_directories(into);
    auto undecodable = exportNow(project("undecodable.mov"), 0, std::nullopt, 30, into);
    ASSERT_FALSE(undecodable.ok());
    EXPECT_EQ(undecodable.error().description().rfind("导出失败：无法读取主画面：", 0), 0u)
        << undecodable.error().description();
    EXPECT_TRUE(fs::is_empty(into));

    auto nowhere = exportNow(project("main.mov"), 0, std::nullopt, 30, dir / "missing" / "deeper");
    ASSERT_FALSE(nowhere.ok());
    EXPECT_EQ(nowhere.error().kind(), CompositorError::Case::exportSessionFailed);
    EXPECT_NE(nowhere.error().message(), "未知错误");
    EXPECT_FALSE(fs::exists(dir / "missing"));
}

// The disk fills up while the movie is written: the export fails at once (instead of waiting
// for room forever), says why and leaves no partial movie.
TEST_F(ExportTest, AFullDiskFailsTheExportAtOnceAndLeavesNothing) {
    const fs::path small = dir / "small-disk";
    fs::create_directories(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root (CAP_SYS_ADMIN)";
    struct Unmount {
        fs::path path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{small};
    const auto started = std::chrono::steady_clock::now();
    auto p = project("noise-3s.mov");
    auto full = exportNow(p, 0, std::nullopt, 30, small);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
    ASSERT_FALSE(full.ok());
    EXPECT_EQ(full.error().description(), "导出失败：磁盘空间不足");
    EXPECT_TRUE(fs::is_empty(small));
}

// The tool refuses a span that ends before it starts instead of writing the shortest movie.
TEST_F(ExportTest, TheToolRefusesASpanThatEndsBeforeItStarts) {
    const fs::path document = dir / "span.json";
    std::ofstream(document) << zimlo::test::valueOrFailure(project("main.mov").toJSON());
    const std::string tool = std::string(ZIMLO_BINARY_DIR) + "/tools/zimlo-tool/zimlo-tool";
    const fs::path into = dir / "span";
    fs::create_directories(into);
    const std::string refused = run("TMPDIR='" + into.string() + "' " + tool + " export '" +
                                    document.string() + "' --start 5 --end 1 2>&1; echo rc=$?");
    EXPECT_NE(refused.find("--end must come after --start"), std::string::npos) << refused;
    EXPECT_EQ(refused.find("rc=0"), std::string::npos) << refused;
    EXPECT_TRUE(fs::is_empty(into));
}

TEST(RemainingTimeEstimate, KnownOnceSomeIsDoneAndCountsDownBetweenReports) {
    RemainingTimeEstimate estimate;
    estimate.start(100);
    estimate.update(0.02, 100.5);
    EXPECT_EQ(estimate.secondsLeft(100.5), std::nullopt);  // too little done
    estimate.update(0.25, 100.8);
    EXPECT_EQ(estimate.secondsLeft(100.8), std::nullopt);  // too short a while
    estimate.update(0.5, 102);
    ASSERT_TRUE(estimate.secondsLeft(102));
    EXPECT_NEAR(*estimate.secondsLeft(102), 2, 1e-9);
    EXPECT_NEAR(*estimate.secondsLeft(103.5), 0.5, 1e-9);
    EXPECT_NEAR(*estimate.secondsLeft(110), 0, 1e-9);
    estimate.update(0.4, 103);  // going back is ignored
    EXPECT_DOUBLE_EQ(estimate.fraction(), 0.5);
}

// Exports started within the same second (two windows, or the tool beside the app) each get a
// movie of their own instead of overwriting or deleting the other's.
TEST(ExportURL, ExportsStartedTogetherClaimDistinctFiles) {
    std::vector<fs::path> claimed;
    for (int i = 0; i < 3; ++i) claimed.push_back(VideoCompositor::exportPath());
    for (const auto& url : claimed) {
        EXPECT_EQ(url.parent_path(), fs::temp_directory_path());
        EXPECT_EQ(url.filename().string().rfind("zimlo_export_", 0), 0u);
        EXPECT_EQ(url.extension(), ".mp4");
        EXPECT_TRUE(fs::exists(url));
    }
    EXPECT_NE(claimed[0], claimed[1]);
    EXPECT_NE(claimed[1], claimed[2]);
    EXPECT_NE(claimed[0], claimed[2]);
    for (const auto& url : claimed) fs::remove(url);
}

}  // namespace
}  // namespace zimlo::compose
