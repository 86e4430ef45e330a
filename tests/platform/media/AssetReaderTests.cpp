#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <vector>

#include "platform/media/AssetReader.h"
#include "platform/media/MovieFactory.h"
#include "platform/media/SyntheticMedia.h"
#include "support/ResultValue.h"

namespace zimlo::media {
namespace {

// Left half red, right half blue.
std::shared_ptr<PixelBuffer> halves(int) {
    auto pixels = std::make_shared<PixelBuffer>(320, 240, PixelFormat::BGRA);
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x) {
            uint8_t* p = pixels->data() + y * pixels->stride() + 4 * x;
            p[0] = x < 160 ? 0 : 255;
            p[1] = 0;
            p[2] = x < 160 ? 255 : 0;
            p[3] = 255;
        }
    return pixels;
}

bool isRed(const PixelBuffer& p, int x, int y) {
    const uint8_t* px = p.data() + y * p.stride() + 4 * x;
    return px[2] > 180 && px[0] < 70;
}
bool isBlue(const PixelBuffer& p, int x, int y) {
    const uint8_t* px = p.data() + y * p.stride() + 4 * x;
    return px[0] > 180 && px[2] < 70;
}

TEST(AssetReader, ListsTracksWithRangesSizesAndTransforms) {
    test::ScratchDirectory dir;
    test::MovieSpec spec;
    spec.tones = {test::Tone{}, test::Tone{}};
    spec.transform = AffineTransform::rotation(90, {320, 240});
    test::writeMovie(dir / "movie.mov", spec);
    auto asset = test::valueOrFailure(MovieAsset::open(dir / "movie.mov"));
    ASSERT_TRUE(asset);
    ASSERT_EQ(asset->tracks().size(), 3u);
    const AssetTrack& video = asset->tracks()[0];
    EXPECT_EQ(video.mediaType, MediaType::video);
    EXPECT_EQ(video.trackID, 1);
    EXPECT_EQ(video.naturalSize, (Size{320, 240}));
    EXPECT_EQ(video.preferredTransform, spec.transform);
    EXPECT_EQ(video.preferredTransform.applyToSize(video.naturalSize), (Size{240, 320}));
    EXPECT_NEAR(video.timeRange.duration.seconds(), 2.0, 1.0 / 30);
    ASSERT_EQ(video.formatDescriptions.size(), 1u);
    EXPECT_EQ(video.formatDescriptions[0].codecName(), "h264");
    EXPECT_EQ(asset->tracks(MediaType::audio).size(), 2u);
    EXPECT_EQ(asset->tracks(MediaType::audio)[1].formatDescriptions.at(0).sampleRate(), 48000);
    EXPECT_NEAR(availableDuration(*asset, 99), 2.0, 0.05);

    auto missing = MovieAsset::open(dir / "missing.mov");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, MediaError::Kind::system);
    EXPECT_EQ(missing.error().code, ENOENT);
    EXPECT_FALSE(missing.error().detail.empty());
    EXPECT_EQ(availableDuration(dir / "missing.mov", 7.5), 7.5);
    EXPECT_EQ(availableDuration(dir / "missing.mov", NAN), 0);
}

// A movie is one local file: a playlist that names other files, or a path read as a protocol,
// opens nothing (a hostile drafts folder must not make the reader fetch what it names).
TEST(AssetReader, OpensOneLocalMovieAndNothingItNames) {
    test::ScratchDirectory dir;
    test::writeMovie(dir / "movie.mov", test::MovieSpec{});
    ASSERT_TRUE(test::valueOrFailure(MovieAsset::open(dir / "movie.mov")));
    std::ofstream(dir / "main.mov") << "ffconcat version 1.0\nfile movie.mov\nfile movie.mov\n";
    EXPECT_FALSE(MovieAsset::open(dir / "main.mov"));
    std::ofstream(dir / "main.m3u8") << "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n"
                                     << (dir / "movie.mov").string() << "\n#EXT-X-ENDLIST\n";
    EXPECT_FALSE(MovieAsset::open(dir / "main.m3u8"));
    const std::string movie = (dir / "movie.mov").string();
    EXPECT_FALSE(MovieAsset::open("concat:" + movie + "|" + movie));
    EXPECT_FALSE(MovieAsset::open("subfile,,start,0,end,0,,:" + movie));
}

// Only a regular file is read as a movie: a FIFO named like one answers at once instead of
// holding the reader until someone writes to it, and reading gives up at the caller's deadline.
TEST(AssetReader, ReadsOnlyRegularFilesAndGivesUpAtTheDeadline) {
    test::ScratchDirectory dir;
    test::writeMovie(dir / "movie.mov", test::MovieSpec{});
    const std::filesystem::path fifo = dir / "main.mp4";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    auto opening = std::async(std::launch::async, [&] { return MovieAsset::open(fifo); });
    if (opening.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // lets the stuck reader go
        opening.wait();
        FAIL() << "opening a FIFO waited for a writer";
    }
    auto fromFifo = opening.get();
    ASSERT_FALSE(fromFifo);
    EXPECT_EQ(fromFifo.error().kind, MediaError::Kind::notARegularFile);
    auto fromFolder = MovieAsset::open(dir.path());
    ASSERT_FALSE(fromFolder);
    EXPECT_EQ(fromFolder.error().kind, MediaError::Kind::notARegularFile);

    std::filesystem::create_symlink(dir / "movie.mov", dir / "link.mov");
    auto asset = test::valueOrFailure(MovieAsset::open(dir / "link.mov"));
    ASSERT_TRUE(asset);
    auto late = MovieAsset::open(dir / "movie.mov", std::chrono::steady_clock::now());
    ASSERT_FALSE(late);
    EXPECT_EQ(late.error().kind, MediaError::Kind::timedOut);
    ImageGenerator generator(asset);
    generator.deadline = std::chrono::steady_clock::now();
    auto picture = generator.copyImage(MediaTime::zero());
    ASSERT_FALSE(picture);
    EXPECT_EQ(picture.error().kind, MediaError::Kind::timedOut);
}

// The export judges how busy its sources are by their stored bit rate, also in the fragmented
// movies the recorder writes, whose header says nothing about their samples.
TEST(AssetReader, StoredBitRateOfPlainAndFragmentedMovies) {
    test::ScratchDirectory dir;
    test::MovieSpec spec;
    spec.tones = {test::Tone{}};
    test::writeMovie(dir / "plain.mov", spec);
    spec.options.fragmented = true;
    test::writeMovie(dir / "fragmented.mov", spec);
    for (const char* name : {"plain.mov", "fragmented.mov"}) {
        auto asset = test::valueOrFailure(MovieAsset::open(dir / name));
        ASSERT_TRUE(asset);
        for (const auto& track : asset->tracks()) {
            auto packets = test::valueOrFailure(TrackPacketReader::open(*asset, track.trackID));
            ASSERT_TRUE(packets);
            double bytes = 0;
            while (auto packet = packets->next()) bytes += packet->data.size();
            const double rate = bytes * 8 / track.timeRange.duration.seconds();
            EXPECT_NEAR(track.bitRate, rate, rate * 0.1) << name << " track " << track.trackID;
        }
    }
}

TEST(AssetReader, DecodesFramesOfARangeInOrder) {
    test::ScratchDirectory dir;
    test::writeMovie(dir / "movie.mov", test::MovieSpec{});
    auto asset = test::valueOrFailure(MovieAsset::open(dir / "movie.mov"));
    ASSERT_TRUE(asset);
    int track = asset->tracks(MediaType::video).at(0).trackID;

    auto all = test::valueOrFailure(VideoFrameReader::open(*asset, track));
    int count = 0;
    double previous = -1;
    while (auto frame = all->next()) {
        EXPECT_GT(frame->presentationTime.seconds(), previous);
        previous = frame->presentationTime.seconds();
        EXPECT_EQ(frame->pixels->width(), 320);
        ++count;
    }
    EXPECT_EQ(count, 60);

    // From 0.51 s for 0.5 s: the frame on screen at 0.51 (0.5 s) comes first.
    auto part = test::valueOrFailure(VideoFrameReader::open(
        *asset, track,
        TimeRange{MediaTime::fromSeconds(0.51, 600), MediaTime::fromSeconds(0.5, 600)}));
    std::vector<double> times;
    while (auto frame = part->next()) times.push_back(frame->presentationTime.seconds());
    ASSERT_FALSE(times.empty());
    EXPECT_NEAR(times.front(), 0.5, 1e-3);
    EXPECT_NEAR(times.back(), 1.0, 1e-3);
    EXPECT_EQ(times.size(), 16u);
}

// A sound track whose timestamps jump by 6000 s (a damaged or hostile movie) is mixed with the
// jump as silence made a chunk at a time: the sound on either side comes out where it belongs,
// quickly, instead of 2 GB of silence being made at once.
TEST(AudioMixReader, MixesAJumpOfHoursAsSilenceWithoutMakingItAtOnce) {
    test::ScratchDirectory dir;
    auto url = dir / "jump.mov";
    std::string command =
        "ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=2 -c:a aac -ac 2 -ar 48000 "
        "-bsf:a \"setts=ts='if(gte(PTS,48000),PTS+6000*48000,PTS)'\" '" +
        url.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    auto asset = test::valueOrFailure(MovieAsset::open(url));
    ASSERT_TRUE(asset);
    auto reader = test::valueOrFailure(
        AudioMixReader::open(*asset, {{asset->tracks(MediaType::audio).at(0).trackID, 1.0f}}));
    ASSERT_TRUE(reader);
    const auto started = std::chrono::steady_clock::now();
    // Loudness of each chunk that starts in the first three seconds or the last two.
    std::vector<std::pair<double, double>> heard;
    while (auto chunk = reader->next()) {
        const double at = chunk->presentationTime.seconds();
        if (at > 3 && at < 6000) continue;
        auto* s = reinterpret_cast<const float*>(chunk->data.data());
        double peak = 0;
        for (size_t i = 0; i < chunk->data.size() / 4; ++i) peak = std::max<double>(peak, s[i]);
        heard.emplace_back(at, peak);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    ASSERT_FALSE(heard.empty());
    EXPECT_NEAR(heard.back().first, 6002, 0.1);
    // Each window must hold chunks: a mix that skipped a stretch would otherwise pass.
    int toneBefore = 0, silence = 0, toneAfter = 0;
    for (const auto& [at, peak] : heard) {
        if (at > 0.1 && at < 0.9) {
            ++toneBefore;
            EXPECT_GT(peak, 0.05) << "tone at " << at << " s";
        }
        if (at > 1.1 && at < 3) {
            ++silence;
            EXPECT_EQ(peak, 0) << "silence at " << at << " s";
        }
        if (at > 6001.1 && at < 6001.9) {
            ++toneAfter;
            EXPECT_GT(peak, 0.05) << "tone at " << at << " s";
        }
    }
    EXPECT_GT(toneBefore, 0);
    EXPECT_GT(silence, 0);
    EXPECT_GT(toneAfter, 0);
}

// Widths that are not a multiple of 16 (a portrait camera, an odd-sized window) once made the
// colour converter write past the end of the picture; decoding must leave the heap intact.
TEST(AssetReader, DecodesPicturesWhoseWidthIsNoMultipleOfSixteen) {
    test::ScratchDirectory dir;
    auto url = dir / "narrow.mp4";
    std::string command =
        "ffmpeg -v error -y -f lavfi -i testsrc2=size=360x200:rate=30 -frames:v 30 "
        "-pix_fmt yuv420p -c:v libx264 '" +
        url.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    auto asset = test::valueOrFailure(MovieAsset::open(url));
    ASSERT_TRUE(asset);
    auto reader = test::valueOrFailure(
        VideoFrameReader::open(*asset, asset->tracks(MediaType::video).at(0).trackID));
    ASSERT_TRUE(reader);
    int count = 0;
    std::vector<std::shared_ptr<const PixelBuffer>> kept;  // all alive at once, as in an export
    while (auto frame = reader->next()) {
        ASSERT_EQ(frame->pixels->width(), 360);
        ASSERT_EQ(frame->pixels->height(), 200);
        kept.push_back(frame->pixels);
        ++count;
    }
    EXPECT_EQ(count, 30);
    // The last row is real picture, fully opaque.
    const PixelBuffer& last = *kept.back();
    const uint8_t* row = last.data() + 199 * last.stride();
    for (int x = 0; x < 360; ++x) ASSERT_EQ(row[4 * x + 3], 255) << x;
}

// The gallery's picture: turned upright by the track's transform and shrunk to fit.
TEST(ImageGenerator, TurnsAndShrinksThePicture) {
    test::ScratchDirectory dir;
    test::MovieSpec spec;
    spec.transform = AffineTransform::rotation(90, {320, 240});
    spec.picture = halves;
    test::writeMovie(dir / "portrait.mov", spec);
    auto asset = test::valueOrFailure(MovieAsset::open(dir / "portrait.mov"));
    ASSERT_TRUE(asset);
    ImageGenerator generator(asset);
    generator.maximumSize = {100, 100};
    auto picture = test::valueOrFailure(generator.copyImage(MediaTime::make(60, 600)));
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width(), 75);
    EXPECT_EQ(picture->height(), 100);
    // Turned a quarter clockwise: the left (red) half is now on top.
    EXPECT_TRUE(isRed(*picture, 37, 10));
    EXPECT_TRUE(isBlue(*picture, 37, 90));

    generator.appliesPreferredTrackTransform = false;
    generator.maximumSize = {};
    picture = test::valueOrFailure(generator.copyImage(MediaTime::make(60, 600)));
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width(), 320);
    EXPECT_TRUE(isRed(*picture, 10, 120));

    std::filesystem::path png = dir / "thumb.png";
    auto written = writePNG(*picture, png);
    ASSERT_TRUE(written) << written.error();
    EXPECT_GT(std::filesystem::file_size(png), 100u);
}

// A display matrix that also scales is not mapped through (as the export does not): the picture
// keeps its coded size within the limit, where a scale of 2000 once made it 2000 × 2000 of one
// colour. Turns and mirrors still apply.
TEST(ImageGenerator, AppliesOnlyTurnsAndMirrorsOfTheTransform) {
    test::ScratchDirectory dir;
    test::MovieSpec spec;
    spec.frames = 3;
    spec.picture = halves;
    spec.transform = AffineTransform{2000, 0, 0, 2000, 0, 0};
    test::writeMovie(dir / "scaled.mov", spec);
    spec.transform = AffineTransform{-1, 0, 0, 1, 320, 0};
    test::writeMovie(dir / "mirrored.mov", spec);

    auto scaled = test::valueOrFailure(MovieAsset::open(dir / "scaled.mov"));
    ASSERT_TRUE(scaled);
    ASSERT_EQ(scaled->tracks(MediaType::video).at(0).preferredTransform.a, 2000);
    ImageGenerator generator(scaled);
    generator.maximumSize = {420, 420};
    auto picture = test::valueOrFailure(generator.copyImage(MediaTime::make(60, 600)));
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width(), 320);
    EXPECT_EQ(picture->height(), 240);
    EXPECT_TRUE(isRed(*picture, 10, 120));
    EXPECT_TRUE(isBlue(*picture, 310, 120));

    auto mirrored = test::valueOrFailure(MovieAsset::open(dir / "mirrored.mov"));
    ASSERT_TRUE(mirrored);
    picture = test::valueOrFailure(ImageGenerator(mirrored).copyImage(MediaTime::zero()));
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width(), 320);
    EXPECT_TRUE(isBlue(*picture, 10, 120));
    EXPECT_TRUE(isRed(*picture, 310, 120));
}

}  // namespace
}  // namespace zimlo::media
