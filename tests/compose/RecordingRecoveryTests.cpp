// What a start makes of the folders killed recordings left: raw drafts of what decodes, nothing
// twice, nothing from a folder still in use. (The kills themselves are in the tool's and the
// application's end-to-end tests.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "compose/RecordingRecovery.h"
#include "platform/media/AssetReader.h"
#include "platform/media/MovieFactory.h"
#include "support/ResultValue.h"

namespace zimlo::compose {
namespace {

namespace fs = std::filesystem;

// Writes a recording as the capture source does (fragmented) and cuts it like a kill would,
// keeping `keep` of its bytes.
void writeCutRecording(const fs::path& url, std::vector<test::Tone> tones, int frames,
                       double keep) {
    test::MovieSpec spec;
    spec.tones = std::move(tones);
    spec.frames = frames;
    spec.options.fragmented = true;
    spec.options.fragmentSeconds = 0.5;
    test::writeMovie(url, spec);
    fs::resize_file(url, static_cast<uintmax_t>(static_cast<double>(fs::file_size(url)) * keep));
}

// The time of the last picture that decodes, every picture decoding.
double lastPicture(const fs::path& movie) {
    auto asset = test::valueOrFailure(media::MovieAsset::open(movie));
    if (!asset || asset->tracks(media::MediaType::video).empty()) return -1;
    auto reader = test::valueOrFailure(media::VideoFrameReader::open(
        *asset, asset->tracks(media::MediaType::video).front().trackID));
    double last = -1;
    while (auto frame = reader->next()) last = frame->presentationTime.seconds();
    return reader->failed() ? -1 : last;
}

// A folder as a killed recording leaves it: made, then let go.
fs::path leftFolder(const fs::path& root) {
    auto folder = RecordingFolder::create(root).value();
    return folder->path();
}

class RecordingRecoveryTest : public ::testing::Test {
  protected:
    test::ScratchDirectory scratch;
    fs::path root = scratch / "recordings";
    DraftStore store{scratch / "Drafts"};
};

TEST_F(RecordingRecoveryTest, WhatKilledRecordingsLeftBecomesRawDraftsOnce) {
    // Killed while recording with the camera window and subtitles: the movies as far as they
    // got, a half-made mix and export beside them, the journal with a record cut in two.
    const fs::path killed = leftFolder(root);
    writeCutRecording(killed / "zimlo_screen_1700000000.mov", {{440, 0.5f}, {880, 0.3f}}, 90, 0.7);
    writeCutRecording(killed / "zimlo_camera_1700000000.mov", {}, 90, 1.0);
    std::ofstream(killed / "zimlo_screen_mixed_0A1B.mov") << "half a mix";
    std::ofstream(killed / "zimlo_export_1700000003.mp4") << "half an export";
    const SubtitleSegment later{Uuid::generate(), 1.5, 2.0, "后来"};
    const SubtitleSegment first{Uuid::generate(), 0.2, 1.0, "先说"};
    {
        std::ofstream journal(killed / RecordingFolder::kJournalName);
        journal << zimlo::test::valueOrFailure(subtitleSegmentText(later)) << "\n"
                << zimlo::test::valueOrFailure(subtitleSegmentText(first)) << "\n"
                << "{\"id\":";
    }
    // Killed before its first picture.
    const fs::path empty = leftFolder(root);
    std::ofstream(empty / "zimlo_screen_1700000100.mov");
    // Killed after its draft was saved, while its files were being deleted.
    RecordingProject savedBefore;
    savedBefore.id = Uuid::generate();
    ASSERT_TRUE(store.saveDraft(savedBefore));
    const fs::path cleaning = leftFolder(root);
    writeCutRecording(cleaning / "zimlo_screen_1700000200.mov", {}, 30, 1.0);
    {
        auto adopted = RecordingFolder::adoptAbandoned(root);
        for (const auto& folder : adopted) {
            if (folder->path() == cleaning) {
                ASSERT_TRUE(folder->noteDraft(savedBefore.id.uuidString()));
            }
        }
    }
    // Still being recorded by this process.
    auto live = RecordingFolder::create(root).value();
    writeCutRecording(live->path() / "zimlo_screen_1700000300.mov", {}, 30, 1.0);

    const RecoveryReport report = recoverRecordings(store, root);
    ASSERT_EQ(report.recovered.size(), 1u);
    EXPECT_EQ(report.discarded, 2u);
    EXPECT_EQ(report.kept, 0u);
    EXPECT_FALSE(fs::exists(killed));
    EXPECT_FALSE(fs::exists(empty));
    EXPECT_FALSE(fs::exists(cleaning));
    EXPECT_TRUE(fs::exists(live->path() / "zimlo_screen_1700000300.mov"));

    const RecordingProject& draft = report.recovered.front();
    const auto listed = store.loadDrafts();
    ASSERT_EQ(listed.size(), 2u) << "the one saved before, and the recovered one";
    EXPECT_EQ(listed.front().id, draft.id) << "newest first: when the recording began";
    EXPECT_DOUBLE_EQ(draft.createdAt.secondsSince1970(), 1700000000);
    ASSERT_TRUE(draft.mainVideo && draft.pipVideo);
    EXPECT_EQ(localFile(draft.mainVideo)->parent_path(), store.draftDirectory(draft.id));
    const double pictures = lastPicture(*localFile(draft.mainVideo));
    EXPECT_GT(pictures, 0.9) << "the fragments before the cut decode";
    EXPECT_LT(pictures, 2.9);
    EXPECT_NEAR(draft.duration, pictures, 0.1) << "measured from the movie as it decodes";
    EXPECT_NEAR(lastPicture(*localFile(draft.pipVideo)), 89.0 / 30, 0.01);
    EXPECT_TRUE(draft.aspect.isPiPEnabled);
    EXPECT_EQ(draft.subtitleTrack, (std::vector<SubtitleSegment>{first, later}));
    EXPECT_TRUE(fs::exists(store.draftDirectory(draft.id) / "subtitles.srt"));

    // A second start finds nothing more.
    const RecoveryReport again = recoverRecordings(store, root);
    EXPECT_TRUE(again.recovered.empty());
    EXPECT_EQ(again.discarded + again.kept, 0u);
}

// When the drafts cannot be written the recording stays where it is, for the next start.
TEST_F(RecordingRecoveryTest, ARecordingTheStoreCannotTakeIsKeptForTheNextStart) {
    const fs::path killed = leftFolder(root);
    writeCutRecording(killed / "zimlo_screen_1700000000.mov", {}, 30, 1.0);
    std::ofstream(scratch / "NoDrafts") << "a file where the drafts folder should be";
    DraftStore unwritable(scratch / "NoDrafts");
    const RecoveryReport report = recoverRecordings(unwritable, root);
    EXPECT_TRUE(report.recovered.empty());
    EXPECT_EQ(report.kept, 1u);
    EXPECT_TRUE(fs::exists(killed / "zimlo_screen_1700000000.mov"));

    const RecoveryReport later = recoverRecordings(store, root);
    ASSERT_EQ(later.recovered.size(), 1u);
    EXPECT_FALSE(fs::exists(killed));
}

}  // namespace
}  // namespace zimlo::compose
