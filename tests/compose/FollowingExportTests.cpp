// The composition made while a recording runs: recording-like movies (fragmented, written a
// frame at a time) are followed as they grow, and what the follower finishes is held against the
// export of the finished recording.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <thread>

#include "compose/FollowingExport.h"
#include "compose/SubtitleRenderer.h"
#include "compose/VideoCompositor.h"
#include "platform/media/AssetReader.h"
#include "platform/media/GrowingRecording.h"
#include "platform/media/MovieFactory.h"
#include "platform/media/SyntheticMedia.h"
#include "support/ResultValue.h"
#include "support/TestMain.h"

namespace zimlo::compose {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Ending = FollowingExport::Ending;

constexpr int kFrames = 150;  // five seconds at 30 fps

// The recording followed: five seconds of screen with two sounds, and camera.
class Recording : public test::GrowingRecording {
  public:
    explicit Recording(const fs::path& dir, int sounds = 2, bool stillScreen = false)
        : GrowingRecording(dir, "1", kFrames, 6ms, sounds, stillScreen) {}
    FollowingExport::Sources sources() const { return {screenFile(), cameraFile()}; }
};

PiPKeyframe keyframe(double time, double x, double y) { return {time, {x, y}, {0.3, 0.3}, 12}; }

SubtitleSegment subtitle(double start, double end, const std::string& text) {
    return {Uuid::generate(), start, end, text};
}

// What is drawn and heard in a movie, to hold two movies against each other.
struct Movie {
    std::vector<std::vector<uint8_t>> pictures;  // packed rows, in order
    std::vector<std::vector<uint8_t>> sound;
    size_t videoTracks = 0, audioTracks = 0;
    double duration = 0;
    bool reordered = false;  // pictures stored out of their order: the encoder made B-frames
};

// Peak signal-to-noise ratio of two pictures of the same size, in dB (infinite when equal).
double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size() || a.empty()) return 0;
    double squares = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = static_cast<double>(a[i]) - b[i];
        squares += d * d;
    }
    if (squares == 0) return std::numeric_limits<double>::infinity();
    return 10 * std::log10(255.0 * 255.0 * static_cast<double>(a.size()) / squares);
}

Movie read(const fs::path& url) {
    Movie movie;
    auto asset = test::valueOrFailure(media::MovieAsset::open(url));
    EXPECT_TRUE(asset);
    if (!asset) return movie;
    movie.videoTracks = asset->tracks(media::MediaType::video).size();
    movie.audioTracks = asset->tracks(media::MediaType::audio).size();
    movie.duration = media::availableDuration(*asset, 0);
    auto frames = test::valueOrFailure(media::VideoFrameReader::open(
        *asset, asset->tracks(media::MediaType::video).at(0).trackID));
    while (auto frame = frames->next()) {
        const auto& p = *frame->pixels;
        std::vector<uint8_t> packed;
        for (int y = 0; y < p.height(); ++y)
            packed.insert(packed.end(), p.data() + y * p.stride(),
                          p.data() + y * p.stride() + p.width() * 4);
        movie.pictures.push_back(std::move(packed));
    }
    auto stored = test::valueOrFailure(media::TrackPacketReader::open(
        *asset, asset->tracks(media::MediaType::video).at(0).trackID));
    media::MediaTime latest;
    while (auto packet = stored->next()) {
        if (latest.valid && packet->presentationTime < latest) movie.reordered = true;
        if (!latest.valid || packet->presentationTime > latest) latest = packet->presentationTime;
    }
    auto packets = test::valueOrFailure(media::TrackPacketReader::open(
        *asset, asset->tracks(media::MediaType::audio).at(0).trackID));
    while (auto packet = packets->next()) movie.sound.push_back(packet->data);
    return movie;
}

class FollowingExportTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(ensureTextEngine()); }

    RecordingProject project(const Recording& recording) const {
        RecordingProject p;
        p.id = Uuid::generate();
        p.mainVideo = recording.screen();
        p.pipVideo = recording.camera();
        p.duration = kFrames / 30.0;
        p.aspect.isPiPEnabled = true;
        p.pipTrack = {keyframe(0, 0.75, 0.3)};
        p.emphasizesSubtitleKeywords = true;
        return p;
    }

    FollowingExport::Settings settings() const {
        FollowingExport::Settings s;
        s.exportLongEdge = 1920;
        s.exportFrameRate = 30;
        s.exportDirectory = dir_.path() / "out";
        // Nothing is recorded beside it here; the test's pace must not hang on the machine's.
        s.runsWhenIdle = false;
        fs::create_directories(s.exportDirectory);
        return s;
    }

    static FollowingExport::Outcome finish(FollowingExport& follower,
                                           const RecordingProject& project,
                                           std::shared_ptr<ExportJob> job = nullptr) {
        std::optional<FollowingExport::Outcome> outcome;
        double progress = 0;
        follower.finish(
            project, [&](FollowingExport::Outcome o) { outcome = std::move(o); },
            [&](double fraction) {
                EXPECT_GE(fraction, progress);
                progress = fraction;
            },
            job);
        // "取消合成" pressed as soon as the last seconds are being composed.
        if (job) job->cancel();
        EXPECT_TRUE(test::pumpUntil([&] { return outcome.has_value(); }, 3min));
        if (outcome && outcome->ending == Ending::composed) {
            EXPECT_EQ(progress, 1.0);
        }
        if (outcome) return *outcome;
        FollowingExport::Outcome timedOut;
        timedOut.reason = "timed out";
        return timedOut;
    }

    static fs::path exported(const RecordingProject& project) {
        auto compositor = std::make_shared<VideoCompositor>();
        compositor->exportLongEdge = 1920;
        compositor->exportFrameRate = 30;
        std::optional<VideoCompositor::Result> result;
        compositor->exportMovie(project, true, 0, std::nullopt,
                                [&](VideoCompositor::Result r) { result = std::move(r); });
        EXPECT_TRUE(test::pumpUntil([&] { return result.has_value(); }, 3min));
        EXPECT_TRUE(result && result->ok());
        return result && result->ok() ? **result : fs::path();
    }

    // The follower's movie holds what the export of the finished recording holds: the same
    // streams, length and frames (the same pictures encoded the same way) and the same sound.
    static void expectSameMovie(const fs::path& followed, const fs::path& exportedMovie) {
        const Movie a = read(followed), b = read(exportedMovie);
        EXPECT_EQ(a.videoTracks, 1u);
        EXPECT_EQ(a.audioTracks, 1u);
        EXPECT_EQ(a.videoTracks, b.videoTracks);
        EXPECT_EQ(a.audioTracks, b.audioTracks);
        EXPECT_NEAR(a.duration, b.duration, 1.0 / 30);
        EXPECT_EQ(a.pictures.size(), b.pictures.size());
        EXPECT_EQ(a.reordered, b.reordered) << "not encoded as the export encodes this picture";
        // x264's threads do not make it repeatable: the same pictures at the same times can
        // come out a quantiser step apart (a single thread always agrees). So pictures count as
        // alike above 40 dB; a camera window out of place or a missing subtitle is far below.
        std::string differing;
        for (size_t i = 0; i < std::min(a.pictures.size(), b.pictures.size()); ++i)
            if (const double alike = psnr(a.pictures[i], b.pictures[i]); alike < 40)
                differing += " " + std::to_string(i) + " (" + std::to_string(alike) + " dB)";
        EXPECT_TRUE(differing.empty()) << "the pictures differ at frames" << differing;
        EXPECT_TRUE(a.sound == b.sound) << "the sound differs";
        std::ifstream in(followed, std::ios::binary);
        char header[8];
        in.seekg(0);
        in.read(header, 8);
        uint32_t size = static_cast<uint8_t>(header[0]) << 24 |
                        static_cast<uint8_t>(header[1]) << 16 |
                        static_cast<uint8_t>(header[2]) << 8 | static_cast<uint8_t>(header[3]);
        in.seekg(size + 4);
        in.read(header, 4);
        EXPECT_EQ(std::string(header, 4), "moov") << "the index is not in front";
    }

    test::ScratchDirectory dir_;
};

// While the recording runs the follower draws only what can no longer change: camera window
// places as they come, a subtitle once its speech is final. What it finishes at the end is the
// movie the export makes of the finished recording, and most of it was made before the end.
TEST_F(FollowingExportTest, TheFollowedMovieIsTheExportOfTheFinishedRecording) {
    Recording recording(dir_.path());
    RecordingProject p = project(recording);
    FollowedState state{p, 0};
    auto follower = FollowingExport::start(recording.sources(), settings(), state);
    double highestSettled = 0;
    bool sawAhead = false;
    auto keepUp = [&](double at) {
        while (recording.written() < at) {
            // Speech from 0.9 s is final only at 2.2 s, and from 2.9 s only at 4.6 s.
            const double now = recording.written();
            FollowedState next{p, now};
            next.project.pipTrack = {keyframe(0, 0.75, 0.3)};
            if (now >= 2.5) next.project.pipTrack.push_back(keyframe(2.5, 0.25, 0.7));
            if (now >= 2.2) next.project.subtitleTrack.push_back(subtitle(1.0, 1.8, "第一句字幕"));
            if (now >= 4.6) next.project.subtitleTrack.push_back(subtitle(3.0, 3.9, "第二句"));
            if (now < 2.2)
                next.settledUntil = std::min(now, 0.9);
            else if (now < 4.6)
                next.settledUntil = std::min(now, 2.9);
            highestSettled = std::max(highestSettled, next.settledUntil);
            follower->update(next);
            p = next.project;
            std::this_thread::sleep_for(20ms);
            if (follower->composedSeconds() > highestSettled + 1.0 / 30 + 1e-9) sawAhead = true;
        }
    };
    keepUp(kFrames / 30.0 - 0.05);
    recording.join();
    EXPECT_FALSE(sawAhead) << "frames were drawn before what they show was settled";
    // The recording's end: the subtitles and places it gathered are the draft's.
    p.subtitleTrack = {subtitle(1.0, 1.8, "第一句字幕"), subtitle(3.0, 3.9, "第二句")};
    p.pipTrack = {keyframe(0, 0.75, 0.3), keyframe(2.5, 0.25, 0.7)};
    EXPECT_TRUE(test::pumpUntil([&] { return follower->composedSeconds() > 3.5; }, 2min));

    const auto outcome = finish(*follower, p);
    ASSERT_EQ(outcome.ending, Ending::composed) << outcome.reason;
    const auto& statistics = outcome.statistics;
    EXPECT_EQ(statistics.restarts, 0);
    EXPECT_GT(statistics.framesBeforeFinish, 100);
    const fs::path reference = exported(p);
    EXPECT_EQ(statistics.frameCount, static_cast<int64_t>(read(reference).pictures.size()));
    expectSameMovie(outcome.movie, reference);
}

// A still screen needs a fraction of the bit rate, so the export encodes it with the least
// search; the follower finds that out in the first second and begins again the same way.
TEST_F(FollowingExportTest, AStillScreenIsComposedAgainWithTheEncoderTheExportChoosesForIt) {
    Recording recording(dir_.path(), 2, true);
    const RecordingProject p = project(recording);
    auto follower = FollowingExport::start(recording.sources(), settings(), {p, 0});
    while (recording.written() < recording.length() - 0.05) {
        follower->update({p, recording.written()});
        std::this_thread::sleep_for(20ms);
    }
    recording.join();
    EXPECT_TRUE(test::pumpUntil([&] { return follower->composedSeconds() > 3; }, 2min));
    const auto outcome = finish(*follower, p);
    ASSERT_EQ(outcome.ending, Ending::composed) << outcome.reason;
    EXPECT_EQ(outcome.statistics.restarts, 1);
    const fs::path reference = exported(p);
    EXPECT_FALSE(read(reference).reordered);
    expectSameMovie(outcome.movie, reference);
}

// A long utterance without a final text holds the follower behind its start; the final text,
// when it comes at the end, is what is burned in.
TEST_F(FollowingExportTest, SpeechWithoutAFinalTextKeepsTheFollowerBehindIt) {
    Recording recording(dir_.path());
    RecordingProject p = project(recording);
    auto follower = FollowingExport::start(recording.sources(), settings(), {p, 0});
    while (recording.written() < kFrames / 30.0 - 0.1) {
        follower->update({p, std::min(recording.written(), 1.2)});
        std::this_thread::sleep_for(20ms);
    }
    recording.join();
    follower->update({p, 1.2});
    EXPECT_TRUE(test::pumpUntil([&] { return follower->composedSeconds() >= 1.15; }, 2min));
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(follower->composedSeconds(), 1.2 + 1e-9);

    p.subtitleTrack = {subtitle(1.3, 4.5, "一句很长的话终于说完了")};
    const auto outcome = finish(*follower, p);
    ASSERT_EQ(outcome.ending, Ending::composed) << outcome.reason;
    EXPECT_EQ(outcome.statistics.framesBeforeFinish, 36);
    expectSameMovie(outcome.movie, exported(p));
}

// A change that reaches back into what was drawn (the caption dragged elsewhere) makes the
// follower begin again, and its movie still shows what the finished recording shows. A finish
// that does not fit what was drawn is refused, and a cancelled one leaves nothing behind.
TEST_F(FollowingExportTest, ChangesReachingBackStartOverAndAFinishThatDoesNotFitIsRefused) {
    Recording recording(dir_.path());
    RecordingProject p = project(recording);
    p.subtitleTrack = {subtitle(0.2, 1.0, "开头的字幕")};
    auto follower = FollowingExport::start(recording.sources(), settings(), {p, 0});
    auto refused = FollowingExport::start(recording.sources(), settings(), {p, 0});
    auto cancelled = FollowingExport::start(recording.sources(), settings(), {p, 0});
    while (recording.written() < 2.0) {
        for (auto* f : {&follower, &refused, &cancelled}) (*f)->update({p, recording.written()});
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(test::pumpUntil([&] { return follower->composedSeconds() > 1.0; }, 2min));
    RecordingProject moved = p;
    moved.subtitleLayout.center = {0.5, 0.3};
    // The follower hears of the move while recording even when a slow machine has let the
    // recording end by now.
    do {
        follower->update({moved, recording.written()});
        refused->update({p, recording.written()});
        cancelled->update({p, recording.written()});
        std::this_thread::sleep_for(20ms);
    } while (recording.written() < kFrames / 30.0 - 0.1);
    recording.join();

    const auto outcome = finish(*follower, moved);
    ASSERT_EQ(outcome.ending, Ending::composed) << outcome.reason;
    EXPECT_GE(outcome.statistics.restarts, 1);
    expectSameMovie(outcome.movie, exported(moved));

    ASSERT_TRUE(test::pumpUntil([&] { return refused->composedSeconds() > 1.0; }, 2min));
    const auto notFitting = finish(*refused, moved);
    EXPECT_EQ(notFitting.ending, Ending::unusable);

    auto job = std::make_shared<ExportJob>();
    const auto stopped = finish(*cancelled, p, job);
    EXPECT_EQ(stopped.ending, Ending::cancelled);
    refused.reset();
    cancelled.reset();
    // Only the follower's finished movie is left where they wrote.
    std::vector<fs::path> left;
    for (const auto& entry : fs::directory_iterator(dir_.path() / "out")) left.push_back(entry);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left.front(), outcome.movie);
}

// With one sound (no microphone) the sound is copied as it was recorded, as the export does.
TEST_F(FollowingExportTest, ASingleSoundIsCopiedAsTheExportCopiesIt) {
    Recording recording(dir_.path(), 1);
    RecordingProject p = project(recording);
    auto follower = FollowingExport::start(recording.sources(), settings(), {p, 0});
    while (recording.written() < kFrames / 30.0 - 0.1) {
        follower->update({p, recording.written()});
        std::this_thread::sleep_for(20ms);
    }
    recording.join();
    const auto outcome = finish(*follower, p);
    ASSERT_EQ(outcome.ending, Ending::composed) << outcome.reason;
    expectSameMovie(outcome.movie, exported(p));
}

// A follower that could compose nothing before the end (a machine too busy to spare it time)
// still finishes a busy picture, which the export would encode the same way; for a still one,
// which the export encodes much faster, it leaves the whole movie to the export.
TEST_F(FollowingExportTest, AFollowerFarBehindFinishesOnlyWhenTheExportIsNoQuicker) {
    for (bool still : {false, true}) {
        SCOPED_TRACE(still ? "still screen" : "busy screen");
        test::ScratchDirectory dir;
        Recording recording(dir.path(), 2, still);
        RecordingProject p = project(recording);
        auto follower = FollowingExport::start(recording.sources(), settings(), {p, 0});
        recording.join();
        const auto outcome = finish(*follower, p);
        EXPECT_EQ(outcome.statistics.framesBeforeFinish, 0);
        if (still) {
            EXPECT_EQ(outcome.ending, Ending::unusable);
            EXPECT_NE(outcome.reason.find("behind"), std::string::npos) << outcome.reason;
        } else {
            ASSERT_EQ(outcome.ending, Ending::composed) << outcome.reason;
            expectSameMovie(outcome.movie, exported(p));
        }
    }
}

// A movie that cannot be read fails the follower; its finish says why instead of composing.
TEST_F(FollowingExportTest, AnUnreadableRecordingFailsTheFollower) {
    const fs::path screen = dir_.path() / "zimlo_screen_2.mov";
    std::ofstream(screen) << "not a movie";
    auto growing = media::GrowingFile::make(screen);
    growing->complete();
    RecordingProject p;
    p.mainVideo = screen;
    p.aspect.isPiPEnabled = true;
    auto follower = FollowingExport::start({growing, nullptr}, settings(), {p, 10});
    const auto outcome = finish(*follower, p);
    EXPECT_EQ(outcome.ending, Ending::failed);
    EXPECT_FALSE(outcome.reason.empty());
    EXPECT_TRUE(outcome.statistics.failed);
}

}  // namespace
}  // namespace zimlo::compose
