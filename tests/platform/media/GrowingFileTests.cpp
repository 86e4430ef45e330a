// Reading a recording's movie while it is written, and moving a finished movie's index to its
// front without copying its samples.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "platform/media/AssetReader.h"
#include "platform/media/GrowingFile.h"
#include "platform/media/IndexRelocation.h"
#include "platform/media/MovieFactory.h"
#include "platform/media/SyntheticMedia.h"
#include "support/ResultValue.h"

namespace zimlo::media {
namespace {

using namespace std::chrono_literals;

// Everything a reader gets out of a movie, to compare two ways of reading it.
struct Contents {
    std::vector<int64_t> frameTimes;  // microseconds
    std::vector<uint64_t> frameSums;  // a checksum of each decoded picture
    std::vector<std::pair<int64_t, std::vector<uint8_t>>> soundPackets;  // second track
    std::vector<float> mix;                                              // both tracks mixed
};

uint64_t checksum(const PixelBuffer& p) {
    uint64_t sum = 0;
    for (int y = 0; y < p.height(); ++y)
        for (int x = 0; x < p.width() * 4; ++x) sum = sum * 31 + p.data()[y * p.stride() + x];
    return sum;
}

// Pictures and the second track's packets; the two tracks mixed as an export mixes them (over
// the movie's whole length), when `mixed`.
Contents readAll(const std::shared_ptr<const MovieAsset>& asset, bool mixed = true) {
    Contents contents;
    auto video = test::valueOrFailure(VideoFrameReader::open(*asset, 1));
    while (auto frame = video->next()) {
        contents.frameTimes.push_back(frame->presentationTime.convertedTo(1'000'000).value);
        contents.frameSums.push_back(checksum(*frame->pixels));
    }
    EXPECT_FALSE(video->failed());
    auto packets = test::valueOrFailure(TrackPacketReader::open(*asset, 3));
    while (auto packet = packets->next())
        contents.soundPackets.emplace_back(packet->presentationTime.convertedTo(48000).value,
                                           packet->data);
    EXPECT_FALSE(packets->failed());
    if (!mixed) return contents;
    const TimeRange whole{MediaTime::zero(),
                          MediaTime::fromSeconds(availableDuration(*asset, 0), 600)};
    auto mix = test::valueOrFailure(AudioMixReader::open(*asset, {{2, 0.8f}, {3, 1.0f}}, whole));
    while (auto chunk = mix->next()) {
        const auto* samples = reinterpret_cast<const float*>(chunk->data.data());
        contents.mix.insert(contents.mix.end(), samples,
                            samples + chunk->data.size() / sizeof(float));
    }
    EXPECT_FALSE(mix->failed());
    return contents;
}

void append(std::vector<float>& to, const AudioSample& chunk) {
    const auto* samples = reinterpret_cast<const float*>(chunk.data.data());
    to.insert(to.end(), samples, samples + chunk.data.size() / sizeof(float));
}

// A recording-like movie (fragmented QuickTime, picture and two sounds) written a frame every
// few milliseconds on a thread of its own; the growing file is completed when it is closed.
struct SlowRecording {
    test::ScratchDirectory dir;
    std::filesystem::path url = dir / "recording.mov";
    std::shared_ptr<GrowingFile> growing = GrowingFile::make(url);
    std::atomic<bool> finished{false};
    std::thread writer;

    // `secondToneFrames`: how many frames the second sound lasts (-1: all).
    explicit SlowRecording(int frames, std::function<void(int)> beforeFrame = {},
                           int secondToneFrames = -1) {
        test::MovieSpec spec;
        spec.frames = frames;
        spec.tones = {test::Tone{440, 0.3f}, test::Tone{660, 0.3f, secondToneFrames}};
        spec.options.fragmented = true;
        spec.options.fragmentSeconds = 0.25;
        spec.picture = [beforeFrame](int frame) {
            if (beforeFrame) beforeFrame(frame);
            std::this_thread::sleep_for(4ms);
            return test::movingPicture(320, 240, frame);
        };
        writer = std::thread([this, spec] {
            test::writeMovie(url, spec);
            finished = true;
            growing->complete();
        });
    }
    ~SlowRecording() {
        if (writer.joinable()) writer.join();
    }
};

// A reader that starts while the movie is written takes the same pictures and packets out of it
// as one reading the finished file: it waits at the written end instead of stopping there, and
// never reads a fragment that is only half there.
TEST(GrowingFile, ReadersFollowingAMovieAsItIsWrittenGetWhatTheFinishedFileHolds) {
    SlowRecording recording(150);
    auto asset = test::valueOrFailure(MovieAsset::openGrowing(recording.growing));
    ASSERT_TRUE(asset);
    EXPECT_FALSE(recording.finished) << "the movie was written before it could be followed";
    EXPECT_EQ(asset->growingFile(), recording.growing);
    ASSERT_EQ(asset->tracks(MediaType::audio).size(), 2u);
    EXPECT_FALSE(asset->duration().valid) << "a growing movie has no length yet";
    const Contents followed = readAll(asset, false);
    recording.writer.join();

    const Contents finished = readAll(test::valueOrFailure(MovieAsset::open(recording.url)));
    ASSERT_EQ(finished.frameTimes.size(), 150u);
    EXPECT_EQ(followed.frameTimes, finished.frameTimes);
    EXPECT_EQ(followed.frameSums, finished.frameSums);
    ASSERT_FALSE(finished.soundPackets.empty());
    EXPECT_EQ(followed.soundPackets, finished.soundPackets);
}

// Sound mixed while the movie grows, given the movie's span once it is complete, is the sound an
// export of the finished movie mixes: also when a track that ended early (its sound source went
// away) had its last, padded frame decoded before its end was known.
TEST(GrowingFile, SoundMixedAsTheMovieGrowsEndsWhereTheFinishedMoviesTracksEnd) {
    SlowRecording recording(150, {}, 60);
    auto asset = test::valueOrFailure(MovieAsset::openGrowing(recording.growing));
    ASSERT_TRUE(asset);
    auto mix = test::valueOrFailure(
        AudioMixReader::open(*asset, {{2, 0.8f}, {3, 1.0f}}, TimeRange{MediaTime::zero(), {}}));
    std::vector<float> followed;
    while (followed.size() < 48000u * 2) append(followed, *mix->next());
    EXPECT_FALSE(recording.finished);
    // The second track is silent from 2 s on, so the next chunk needs the whole movie: it is
    // read to its end, the early track's padding included.
    auto pulling = std::async(std::launch::async, [&] { return mix->next(); });
    recording.writer.join();
    auto chunk = pulling.get();
    ASSERT_TRUE(chunk);
    append(followed, *chunk);

    auto finishedAsset = test::valueOrFailure(MovieAsset::open(recording.url));
    const double length = availableDuration(*finishedAsset, 0);
    mix->setSpan(*finishedAsset, TimeRange{MediaTime::zero(), MediaTime::fromSeconds(length, 600)});
    while (auto rest = mix->next()) append(followed, *rest);
    EXPECT_FALSE(mix->failed());

    const Contents finished = readAll(finishedAsset);
    ASSERT_GT(finished.mix.size(), 48000u * 2 * 4);
    EXPECT_EQ(followed.size(), finished.mix.size());
    EXPECT_EQ(followed, finished.mix);
}

// A reader waiting for a movie that no longer grows is let go: cancelling the reader ends its
// pull without a fault, abandoning the file ends every reader's with one, and a file whose
// writer never made it fails to open once it is declared complete.
TEST(GrowingFile, WaitingReadersAreLetGoByCancelAbandonAndACompleteMissingFile) {
    std::promise<void> stalled;
    std::atomic<bool> resume{false};
    SlowRecording recording(200, [&](int frame) {
        if (frame != 60) return;
        stalled.set_value();
        while (!resume) std::this_thread::sleep_for(5ms);
    });
    auto asset = test::valueOrFailure(MovieAsset::openGrowing(recording.growing));
    ASSERT_TRUE(asset);
    stalled.get_future().wait();

    auto cancelled = test::valueOrFailure(VideoFrameReader::open(*asset, 1));
    auto pulling = std::async(std::launch::async, [&] {
        int frames = 0;
        while (cancelled->next()) ++frames;
        return frames;
    });
    EXPECT_EQ(pulling.wait_for(500ms), std::future_status::timeout) << "stopped at the written end";
    cancelled->cancel();
    ASSERT_EQ(pulling.wait_for(5s), std::future_status::ready);
    EXPECT_LT(pulling.get(), 60);
    EXPECT_FALSE(cancelled->failed());

    auto abandoned = test::valueOrFailure(AudioMixReader::open(*asset, {{2, 1.0f}}));
    auto mixing = std::async(std::launch::async, [&] {
        while (abandoned->next()) {
        }
    });
    EXPECT_EQ(mixing.wait_for(300ms), std::future_status::timeout);
    recording.growing->abandon();
    ASSERT_EQ(mixing.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(abandoned->failed());
    resume = true;
    recording.writer.join();

    test::ScratchDirectory dir;
    auto never = GrowingFile::make(dir / "never.mov");
    auto opening = std::async(std::launch::async, [&] { return MovieAsset::openGrowing(never); });
    EXPECT_EQ(opening.wait_for(200ms), std::future_status::timeout);
    never->complete();
    ASSERT_EQ(opening.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(opening.get());
}

// ---- the index in front ---------------------------------------------------------------------

struct TopBox {
    std::string type;
    uint64_t size;
};

std::vector<TopBox> topBoxes(const std::filesystem::path& url) {
    std::ifstream in(url, std::ios::binary);
    std::vector<TopBox> boxes;
    uint8_t header[16];
    while (in.read(reinterpret_cast<char*>(header), 8)) {
        uint64_t size = uint64_t{header[0]} << 24 | header[1] << 16 | header[2] << 8 | header[3];
        if (size == 1) {
            in.read(reinterpret_cast<char*>(header + 8), 8);
            size = 0;
            for (int i = 8; i < 16; ++i) size = size << 8 | header[i];
            in.seekg(static_cast<std::streamoff>(size - 16), std::ios::cur);
        } else {
            in.seekg(static_cast<std::streamoff>(size - 8), std::ios::cur);
        }
        boxes.push_back({std::string(reinterpret_cast<char*>(header + 4), 4), size});
    }
    return boxes;
}

std::string order(const std::vector<TopBox>& boxes) {
    std::string text;
    for (const auto& box : boxes) text += (text.empty() ? "" : " ") + box.type;
    return text;
}

// A movie with its index behind the samples gets it in front, by inserting room in place where
// the file system can and by writing the file again where it cannot; the samples, pictures and
// sound read back the same, and a movie already in that order is left alone.
TEST(IndexRelocation, TheIndexMovesInFrontOfUnchangedSamples) {
    test::ScratchDirectory dir;
    test::MovieSpec spec;
    spec.frames = 90;
    spec.tones = {test::Tone{440, 0.3f}, test::Tone{660, 0.3f}};
    spec.fileType = MovieFileType::mpeg4;
    const auto original = dir / "original.mp4";
    test::writeMovie(original, spec);
    ASSERT_EQ(order(topBoxes(original)).find("moov"), order(topBoxes(original)).size() - 4)
        << order(topBoxes(original));
    const Contents before = readAll(test::valueOrFailure(MovieAsset::open(original)));
    ASSERT_EQ(before.frameTimes.size(), 90u);

    for (bool insertion : {true, false}) {
        SCOPED_TRACE(insertion ? "in place" : "written again");
        const auto movie = dir / (insertion ? "inserted.mp4" : "rewritten.mp4");
        std::filesystem::copy_file(original, movie);
        auto moved = moveIndexToFront(movie, insertion);
        ASSERT_TRUE(moved) << moved.error();
        // The test folder's file system decides whether room can be inserted (ext4 and XFS can).
        if (insertion && *moved == IndexRelocation::rewritten)
            std::printf("this file system cannot insert room; the file was written again\n");
        if (!insertion) {
            EXPECT_EQ(*moved, IndexRelocation::rewritten);
        }
        const auto boxes = topBoxes(movie);
        const std::string types = order(boxes);
        EXPECT_TRUE(types == "ftyp moov free mdat" || types == "ftyp moov mdat") << types;
        if (*moved == IndexRelocation::inserted) {
            // Only whole blocks were added: the index and a little padding.
            EXPECT_LE(std::filesystem::file_size(movie),
                      std::filesystem::file_size(original) + boxes[1].size + 8192);
        }
        const Contents after = readAll(test::valueOrFailure(MovieAsset::open(movie)));
        EXPECT_EQ(after.frameTimes, before.frameTimes);
        EXPECT_EQ(after.frameSums, before.frameSums);
        EXPECT_EQ(after.soundPackets, before.soundPackets);
        EXPECT_EQ(after.mix, before.mix);
        EXPECT_NEAR(availableDuration(movie, 0), availableDuration(original, 0), 1e-6);

        const auto sizeNow = std::filesystem::file_size(movie);
        auto again = moveIndexToFront(movie, insertion);
        ASSERT_TRUE(again);
        EXPECT_EQ(*again, IndexRelocation::alreadyInFront);
        EXPECT_EQ(std::filesystem::file_size(movie), sizeNow);
    }

    // Something that is not a movie with an index is refused and left as it was.
    const auto text = dir / "notes.mp4";
    std::ofstream(text) << "not a movie at all";
    EXPECT_FALSE(moveIndexToFront(text));
    EXPECT_EQ(std::filesystem::file_size(text), 18u);
    const auto cut = dir / "cut.mp4";
    std::filesystem::copy_file(original, cut);
    std::filesystem::resize_file(cut, std::filesystem::file_size(original) - 100);
    EXPECT_FALSE(moveIndexToFront(cut));
    EXPECT_EQ(std::filesystem::file_size(cut), std::filesystem::file_size(original) - 100);
}

}  // namespace
}  // namespace zimlo::media
