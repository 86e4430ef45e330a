#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <set>
#include <tuple>
#include <utility>

#include "capture/ScreenRecordingAudioMixer.h"
#include "compose/VideoCompositor.h"
#include "model/DraftStore.h"
#include "platform/media/AssetReader.h"
#include "platform/media/GrowingRecording.h"
#include "platform/media/MovieFactory.h"
#include "platform/runtime/MainQueue.h"
#include "platform/storage/RecordingFolder.h"
#include "recording/RecordingFinishPipeline.h"
#include "subtitles/SubtitleFiles.h"
#include "support/LogCapture.h"
#include "support/ResultValue.h"
#include "support/TestMain.h"

namespace zimlo::recording {
namespace {

namespace fs = std::filesystem;
using Pipeline = RecordingFinishPipeline;

struct FakeHost : Pipeline::Host {
    FinishInputs inputs;
    bool expectsComposition = false;
    int takes = 0;
    std::vector<std::string> statuses;
    std::vector<std::pair<std::string, std::string>> overlays;
    int overlayHidden = 0;
    std::optional<std::optional<RecordingProject>> ended;

    // Holds the wait for the subtitles when set; none settles at once.
    std::function<void(std::function<void()>)> settleSubtitles;
    void whenSubtitlesSettled(std::function<void()> done) override {
        if (settleSubtitles)
            settleSubtitles(std::move(done));
        else
            done();
    }
    FinishInputs takeFinishInputs() override {
        ++takes;
        return inputs;
    }
    // While set, the recording runs and this is what it has gathered.
    std::optional<FollowInputs> following;
    std::optional<FollowInputs> followInputs() const override { return following; }
    bool compositionExpected() const override { return expectsComposition; }
    void finishStatusChanged(const QString& status) override {
        statuses.push_back(status.toStdString());
    }
    void processingOverlayShown(const QString& title, const QString& detail) override {
        overlays.emplace_back(title.toStdString(), detail.toStdString());
        if (onOverlay) onOverlay();
    }
    std::function<void()> onOverlay;
    void processingOverlayHidden() override { ++overlayHidden; }
    void processingTitleChanged(const QString& title) override {
        titles.push_back(title.toStdString());
        if (onTitle) onTitle();
    }
    std::vector<std::string> titles;
    std::function<void()> onTitle;
    void finishEnded(const std::optional<RecordingProject>& saved) override { ended = saved; }
};

SubtitleSegment segment(double start, const std::string& text) {
    return {Uuid::generate(), start, start + 0.4, text};
}

std::set<std::string> namesIn(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

// Every picture (BGRA bytes) and every stored sound packet of a movie.
struct DecodedMovie {
    std::vector<std::vector<uint8_t>> pictures;
    std::vector<std::vector<uint8_t>> sound;
};

DecodedMovie decode(const fs::path& url) {
    DecodedMovie decoded;
    auto asset = test::valueOrFailure(media::MovieAsset::open(url));
    EXPECT_TRUE(asset);
    if (!asset) return decoded;
    auto frames = test::valueOrFailure(media::VideoFrameReader::open(
        *asset, asset->tracks(media::MediaType::video).at(0).trackID));
    while (auto frame = frames->next()) {
        const auto& p = *frame->pixels;
        decoded.pictures.emplace_back(p.data(), p.data() + size_t(p.stride()) * p.height());
    }
    auto packets = test::valueOrFailure(media::TrackPacketReader::open(
        *asset, asset->tracks(media::MediaType::audio).at(0).trackID));
    while (auto packet = packets->next()) decoded.sound.push_back(packet->data);
    return decoded;
}

class RecordingFinishTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Mixed and exported movies land in the temporary directory; make it one of our own.
        if (const char* old = std::getenv("TMPDIR")) oldTmp_ = old;
        setenv("TMPDIR", temp_.path().c_str(), 1);
        services_.temporaryDirectory = temp_.path();
        services_.saveDraft = [this](const RecordingProject& project,
                                     const std::vector<fs::path>& surrendered) {
            saved_.push_back(project);
            return store_.saveDraft(project, surrendered);
        };
        host_.inputs.aspect.isPiPEnabled = false;
    }
    void TearDown() override {
        if (oldTmp_)
            setenv("TMPDIR", oldTmp_->c_str(), 1);
        else
            unsetenv("TMPDIR");
    }

    fs::path movie(const fs::path& dir, const std::string& name, std::vector<test::Tone> tones,
                   int frames = 30, bool still = false) {
        test::MovieSpec spec;
        spec.tones = std::move(tones);
        spec.frames = frames;
        if (still) spec.picture = [](int) { return test::movingPicture(320, 240, 0); };
        test::writeMovie(dir / name, spec);
        return dir / name;
    }

    // Reports the files and waits for the pipeline to end.
    std::shared_ptr<Pipeline> finish(std::optional<fs::path> main, std::optional<fs::path> pip) {
        auto pipeline = Pipeline::create(host_, services_);
        pipeline->recordingBegan();
        pipeline->filesReported(main, pip);
        EXPECT_TRUE(
            test::pumpUntil([&] { return host_.ended.has_value(); }, std::chrono::seconds(240)));
        return pipeline;
    }

    test::ScratchDirectory temp_;
    test::ScratchDirectory elsewhere_;
    test::ScratchDirectory drafts_;
    DraftStore store_{drafts_.path()};
    std::optional<std::string> oldTmp_;
    FakeHost host_;
    Pipeline::Services services_;
    std::shared_ptr<Pipeline> pipeline_;
    std::vector<RecordingProject> saved_;
};

TEST_F(RecordingFinishTest, ComposedRecordingKeepsOnlyTheFinishedMovieAndCleansOnlyTemporaryFiles) {
    // The raw screen movie lies outside the temporary directory; the camera movie inside.
    const auto screen = movie(elsewhere_.path(), "zimlo_screen_1.mov", {{440, 0.5f}, {880, 0.3f}});
    const auto camera = movie(temp_.path(), "zimlo_camera_1.mov", {});
    host_.inputs.aspect.isPiPEnabled = true;
    host_.inputs.aspect.main = AspectRatio::r4x3;
    host_.inputs.aspect.splitTopRatio = 0.6;
    host_.inputs.pipTrack = {PiPKeyframe{0, {0.8, 0.8}, {0.2, 0.2}, 12}};
    host_.inputs.isSubtitleEnabled = true;
    host_.inputs.subtitleTrack = {segment(0.5, "后"), segment(0.1, "先")};
    host_.inputs.recordingSettings = RecordingSettings({160, 120, "小"}, CaptureFrameRate::fps24);
    host_.inputs.elapsed = 7;

    auto pipeline = finish(screen, camera);
    ASSERT_TRUE(host_.ended && *host_.ended);
    EXPECT_EQ(host_.takes, 1);
    EXPECT_EQ(host_.statuses,
              (std::vector<std::string>{"正在同步电脑声音和输入设备声音…",
                                        "正在合成字幕到视频文件…", "录制完成，已保存草稿"}));
    EXPECT_EQ(host_.overlays, (std::vector<std::pair<std::string, std::string>>{
                                  {"正在合成视频…", "正在写入字幕和画面，请稍候"}}));
    EXPECT_EQ(host_.overlayHidden, 1);

    // The composed project: one finished movie, nothing left to compose, its own duration.
    ASSERT_EQ(saved_.size(), 1u);
    const RecordingProject& composed = saved_[0];
    EXPECT_EQ(localFile(composed.mainVideo)->parent_path(), temp_.path());
    EXPECT_EQ(composed.pipVideo, std::nullopt);
    EXPECT_TRUE(composed.pipTrack.empty() && composed.subtitleTrack.empty());
    EXPECT_FALSE(composed.aspect.isPiPEnabled);
    EXPECT_EQ(composed.aspect.splitTopRatio, 0.5);
    EXPECT_EQ(composed.aspect.main, AspectRatio::r4x3);
    EXPECT_TRUE(composed.emphasizesSubtitleKeywords);
    EXPECT_NEAR(composed.duration, 1.0, 0.1);  // measured, not the 7 s elapsed

    const RecordingProject& stored = **host_.ended;
    EXPECT_TRUE(stored.isDraft);
    EXPECT_EQ(store_.loadDrafts().size(), 1u);
    auto asset = test::valueOrFailure(media::MovieAsset::open(*localFile(stored.mainVideo)));
    ASSERT_TRUE(asset);
    auto video = asset->tracks(media::MediaType::video);
    ASSERT_EQ(video.size(), 1u);
    EXPECT_EQ(video[0].naturalSize.width, 160);  // long edge of the recording settings
    EXPECT_NEAR(video[0].nominalFrameRate, 24, 0.5);
    EXPECT_EQ(asset->tracks(media::MediaType::audio).size(), 1u);

    // Mixed movie, camera movie and export are gone; the raw movie outside stays.
    EXPECT_TRUE(namesIn(temp_.path()).empty());
    EXPECT_TRUE(fs::exists(screen));
    EXPECT_TRUE(pipeline->pendingRecordingCleanupURLs().empty());
}

TEST_F(RecordingFinishTest, ExportFailureSavesTheRawFilesWithEveryTrack) {
    const auto screen = movie(temp_.path(), "zimlo_screen_2.mov", {{440, 0.5f}});
    const auto camera = movie(temp_.path(), "zimlo_camera_2.mov", {});
    services_.mixAudio = [](const fs::path&, std::function<void(Pipeline::MixOutcome)> done) {
        MainQueue::post([done] { done(fail("混音失败")); });
    };
    std::optional<std::pair<double, int>> exportArguments;
    services_.exportMovie = [&](const RecordingProject&, double longEdge, int fps,
                                std::function<void(Pipeline::ExportOutcome)> done, auto, auto) {
        exportArguments = {longEdge, fps};
        MainQueue::post([done] { done(fail("导出失败：坏了")); });
    };
    host_.inputs.aspect.isPiPEnabled = true;
    host_.inputs.pipTrack = {PiPKeyframe{0, {0.8, 0.8}, {0.2, 0.2}, 12},
                             PiPKeyframe{0.6, {0.2, 0.2}, {0.2, 0.2}, 12}};
    host_.inputs.isSubtitleEnabled = true;
    host_.inputs.subtitleTrack = {segment(0.5, "二"), segment(0.1, "一"), segment(0.1, "一又")};
    host_.inputs.elapsed = 3;

    auto pipeline = finish(screen, camera);
    ASSERT_TRUE(host_.ended && *host_.ended);
    EXPECT_EQ(exportArguments, (std::pair<double, int>{1920, 30}));
    EXPECT_EQ(host_.overlays, (std::vector<std::pair<std::string, std::string>>{
                                  {"正在合成视频…", "正在写入字幕和画面，请稍候"},
                                  {"合成失败，正在保存原始录制…", "原始视频不会丢失"}}));
    EXPECT_EQ(host_.statuses, (std::vector<std::string>{
                                  "正在同步电脑声音和输入设备声音…", "正在合成字幕到视频文件…",
                                  "字幕合成失败，正在保存原始录制…",
                                  "已保存原始录制，字幕合成失败：导出失败：坏了"}));
    const RecordingProject& stored = **host_.ended;
    EXPECT_EQ(stored.pipTrack, host_.inputs.pipTrack);
    ASSERT_EQ(stored.subtitleTrack.size(), 3u);  // sorted by start, stable
    EXPECT_EQ(
        stored.subtitleTrack[0].text + stored.subtitleTrack[1].text + stored.subtitleTrack[2].text,
        "一一又二");
    ASSERT_TRUE(stored.mainVideo && stored.pipVideo);
    EXPECT_TRUE(fs::exists(*localFile(stored.mainVideo)) &&
                fs::exists(*localFile(stored.pipVideo)));
    EXPECT_EQ(saved_.at(0).mainVideo, screen);
    EXPECT_EQ(saved_.at(0).pipVideo, camera);
    EXPECT_NEAR(stored.duration, 1.0, 0.1);
    // Copied into the draft, so the temporary originals could go; the mix warning is spent.
    EXPECT_TRUE(namesIn(temp_.path()).empty());
    EXPECT_EQ(pipeline->pendingAudioMixWarning(), std::nullopt);
}

TEST_F(RecordingFinishTest, RecordingsWithoutCompositionSaveTheRawMovie) {
    const auto screen = movie(temp_.path(), "zimlo_screen_3.mov", {{440, 0.5f}});
    auto failingMix = [](const fs::path&, std::function<void(Pipeline::MixOutcome)> done) {
        MainQueue::post([done] { done(fail("电脑声音与麦克风混合失败：x")); });
    };
    services_.mixAudio = failingMix;
    host_.inputs.elapsed = 2;
    finish(screen, std::nullopt);
    ASSERT_TRUE(host_.ended && *host_.ended);
    EXPECT_EQ(host_.statuses.back(), "录制已保存，但声音同步失败：电脑声音与麦克风混合失败：x");
    EXPECT_TRUE(host_.overlays.empty());
    EXPECT_EQ(saved_.at(0).mainVideo, screen);

    // With the real mixer and a capture status; the camera file of a camera switched off before
    // the stop is neither saved nor left behind.
    const auto screen2 = movie(temp_.path(), "zimlo_screen_4.mov", {{440, 0.5f}, {660, 0.5f}});
    const auto camera2 = movie(temp_.path(), "zimlo_camera_4.mov", {});
    services_.mixAudio = nullptr;
    host_ = FakeHost{};
    host_.inputs.aspect.isPiPEnabled = false;
    host_.inputs.pipTrack = {PiPKeyframe{}};
    capture::ScreenCaptureStatus status;
    status.actualWidth = 320;
    status.actualHeight = 240;
    host_.inputs.latestCaptureStatus = status;
    finish(screen2, camera2);
    ASSERT_TRUE(host_.ended && *host_.ended);
    EXPECT_EQ(host_.statuses.back(), "录制完成，已保存原始视频 · " + status.displayText());
    EXPECT_NE(saved_.at(1).mainVideo, screen2);  // the mixed movie
    EXPECT_EQ(saved_.at(1).pipVideo, std::nullopt);
    EXPECT_TRUE(saved_.at(1).pipTrack.empty());
    EXPECT_TRUE(namesIn(temp_.path()).empty());
    EXPECT_EQ(store_.loadDrafts().size(), 2u);
}

TEST_F(RecordingFinishTest, StoreFailureKeepsEveryTemporaryFile) {
    const auto screen = movie(temp_.path(), "zimlo_screen_5.mov", {{440, 0.5f}, {880, 0.5f}});
    const auto camera = movie(temp_.path(), "zimlo_camera_5.mov", {});
    services_.saveDraft =
        [](const RecordingProject& project,
           const std::vector<fs::path>&) -> Result<RecordingProject, DraftSaveError> {
        return fail(DraftSaveError{*localFile(project.mainVideo),
                                   std::make_error_code(std::errc::no_space_on_device), "copy"});
    };
    host_.inputs.aspect.isPiPEnabled = true;

    auto pipeline = finish(screen, camera);
    ASSERT_TRUE(host_.ended);
    EXPECT_EQ(*host_.ended, std::nullopt);
    const std::string& last = host_.statuses.back();
    // A full disk is named in the user's words, with the file it stopped at.
    EXPECT_EQ(last.rfind("录制完成但保存草稿失败：磁盘空间不足（" + temp_.path().string(), 0), 0u)
        << last;
    EXPECT_EQ(host_.overlayHidden, 1);
    // Raw, mixed, camera and exported movies all stay; the raw one is still due for clean-up.
    EXPECT_EQ(namesIn(temp_.path()).size(), 4u);
    EXPECT_EQ(pipeline->pendingRecordingCleanupURLs(), std::vector<fs::path>{screen});
    EXPECT_TRUE(store_.loadDrafts().empty());
}

// A recording made in a folder of its own: its mix goes there too, and the folder goes once the
// draft is saved, never a draft's file; when the store fails the folder stays, held while the
// application runs and found by the next start once it is gone.
TEST_F(RecordingFinishTest, ARecordingsFolderGoesWithItsSavedDraftAndOutlivesAFailedStore) {
    const fs::path recordings = elsewhere_.path() / "recordings";
    services_.recordingsDirectory = recordings;
    auto folder = RecordingFolder::create(recordings).value();
    const fs::path made = folder->path();
    const auto screen = movie(made, "zimlo_screen_7.mov", {{440, 0.5f}, {880, 0.3f}});
    std::optional<std::string> notedAtSave;
    services_.saveDraft = [&](const RecordingProject& project, const std::vector<fs::path>&) {
        notedAtSave = folder->notedDraft();
        saved_.push_back(project);
        return store_.saveDraft(project);
    };
    auto pipeline = Pipeline::create(host_, services_);
    pipeline->recordingBegan();
    pipeline->filesReported(screen, std::nullopt, folder);
    ASSERT_TRUE(
        test::pumpUntil([&] { return host_.ended.has_value(); }, std::chrono::seconds(120)));
    ASSERT_TRUE(*host_.ended);
    ASSERT_EQ(saved_.size(), 1u);
    EXPECT_EQ(localFile(saved_[0].mainVideo)->parent_path(), made)
        << "the mix is made beside the movie";
    EXPECT_EQ(notedAtSave, saved_[0].id.uuidString());
    EXPECT_FALSE(fs::exists(made));
    EXPECT_TRUE(namesIn(temp_.path()).empty());
    EXPECT_TRUE(fs::exists(*localFile((*host_.ended)->mainVideo)));
    folder.reset();

    host_.ended.reset();
    auto second = RecordingFolder::create(recordings).value();
    const auto raw = movie(second->path(), "zimlo_screen_8.mov", {{440, 0.5f}});
    services_.saveDraft =
        [](const RecordingProject& project,
           const std::vector<fs::path>&) -> Result<RecordingProject, DraftSaveError> {
        return fail(DraftSaveError{*localFile(project.mainVideo),
                                   std::make_error_code(std::errc::no_space_on_device), "copy"});
    };
    {
        auto failing = Pipeline::create(host_, services_);
        failing->recordingBegan();
        failing->filesReported(raw, std::nullopt, std::exchange(second, nullptr));
        ASSERT_TRUE(
            test::pumpUntil([&] { return host_.ended.has_value(); }, std::chrono::seconds(120)));
        EXPECT_EQ(*host_.ended, std::nullopt);
        EXPECT_TRUE(fs::exists(raw));
        EXPECT_TRUE(RecordingFolder::adoptAbandoned(recordings).empty())
            << "held while the application runs";
    }
    auto left = RecordingFolder::adoptAbandoned(recordings);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0]->path(), raw.parent_path());
}

TEST_F(RecordingFinishTest, TwoReportsWithinTheHandOverBuildOneProjectFromTheLaterPair) {
    services_.mixAudio = [](const fs::path& main, std::function<void(Pipeline::MixOutcome)> done) {
        MainQueue::post([done, main] { done(main); });
    };
    const auto first = movie(temp_.path(), "zimlo_screen_6.mov", {{440, 0.5f}}, 15);
    const auto second = movie(temp_.path(), "zimlo_screen_7.mov", {{440, 0.5f}});
    auto pipeline = Pipeline::create(host_, services_);
    pipeline->filesReported(first, std::nullopt);
    pipeline->filesReported(second, std::nullopt);
    ASSERT_TRUE(test::pumpUntil([&] { return pipeline->pendingFinish() || host_.ended; }));
    if (!host_.ended) {
        EXPECT_EQ(pipeline->pendingFinish()->main, second);
    }
    ASSERT_TRUE(test::pumpUntil([&] { return host_.ended.has_value(); }, std::chrono::seconds(60)));
    test::mainLoop().runFor(std::chrono::milliseconds(800));  // the second hand-over
    EXPECT_EQ(host_.takes, 1);
    ASSERT_EQ(saved_.size(), 1u);
    EXPECT_EQ(saved_[0].mainVideo, second);
    EXPECT_FALSE(pipeline->pendingFinish());
}

// Speech said before the stop may still be in recognition when the files come: nothing is mixed
// or built until its subtitles have joined, and those subtitles then decide the composition.
TEST_F(RecordingFinishTest, TheProjectWaitsForTheSubtitlesOfWhatWasSaidBeforeTheStop) {
    int mixes = 0;
    services_.mixAudio = [&mixes](const fs::path& main,
                                  std::function<void(Pipeline::MixOutcome)> done) {
        ++mixes;
        MainQueue::post([done, main] { done(main); });
    };
    std::function<void()> settle;
    host_.settleSubtitles = [&settle](std::function<void()> done) { settle = std::move(done); };
    host_.inputs.isSubtitleEnabled = true;
    host_.inputs.recordingSettings = RecordingSettings({320, 240, "小"}, CaptureFrameRate::fps30);
    const auto screen = movie(temp_.path(), "zimlo_screen_w.mov", {{440, 0.5f}}, 20);
    auto pipeline = Pipeline::create(host_, services_);
    pipeline->recordingBegan();
    pipeline->filesReported(screen, std::nullopt);
    test::mainLoop().runFor(std::chrono::milliseconds(600));
    ASSERT_TRUE(settle);
    EXPECT_EQ(host_.takes, 0);
    EXPECT_EQ(mixes, 0);
    EXPECT_TRUE(host_.statuses.empty());

    // The last sentence has joined: the movie is composed with it, its sounds mixed by the export.
    host_.inputs.subtitleTrack = {segment(0.2, "最后")};
    host_.expectsComposition = true;
    settle();
    ASSERT_TRUE(
        test::pumpUntil([&] { return host_.ended.has_value(); }, std::chrono::seconds(240)));
    ASSERT_TRUE(*host_.ended);
    EXPECT_EQ(host_.takes, 1);
    EXPECT_EQ(mixes, 0);
    EXPECT_EQ(host_.overlays.front(),
              (std::pair<std::string, std::string>{"正在合成视频…", "正在写入字幕和画面，请稍候"}));
    ASSERT_TRUE((*host_.ended)->mainVideo);
    EXPECT_TRUE(fs::exists(localFile((*host_.ended)->mainVideo)->parent_path() / "subtitles.srt"));
}

TEST_F(RecordingFinishTest, APipelineGoneDuringMixingDeletesOnlyTheFreshMix) {
    const auto screen = movie(temp_.path(), "zimlo_screen_8.mov", {{440, 0.5f}}, 5);
    std::function<void(Pipeline::MixOutcome)> pending;
    services_.mixAudio = [&](const fs::path&, std::function<void(Pipeline::MixOutcome)> done) {
        pending = done;
    };
    auto pipeline = Pipeline::create(host_, services_);
    pipeline->filesReported(screen, std::nullopt);
    pipeline.reset();
    const auto mixed = temp_.path() / "zimlo_screen_mixed_X.mov";
    fs::copy_file(screen, mixed);
    pending(mixed);
    test::mainLoop().runFor(std::chrono::milliseconds(500));
    EXPECT_FALSE(fs::exists(mixed));
    EXPECT_TRUE(fs::exists(screen));
    EXPECT_EQ(host_.takes, 0);
    EXPECT_FALSE(host_.ended);
}

// The percentages of the overlay's progress titles, in order.
std::vector<int> percentages(const std::vector<std::string>& titles) {
    std::vector<int> result;
    const std::string prefix = "正在合成视频… ";
    for (const auto& title : titles) {
        EXPECT_EQ(title.rfind(prefix, 0), 0u) << title;
        result.push_back(std::atoi(title.c_str() + prefix.size()));
    }
    return result;
}

TEST_F(RecordingFinishTest, CompositionShowsItsProgressUpToTheEnd) {
    const auto screen = movie(temp_.path(), "zimlo_screen_10.mov", {{440, 0.5f}}, 90);
    host_.inputs.isSubtitleEnabled = true;
    host_.inputs.subtitleTrack = {segment(0.5, "进度")};
    host_.inputs.recordingSettings = RecordingSettings({320, 240, "小"}, CaptureFrameRate::fps30);
    auto pipeline = finish(screen, std::nullopt);
    ASSERT_TRUE(host_.ended && *host_.ended);
    const auto shown = percentages(host_.titles);
    ASSERT_GE(shown.size(), 5u);
    EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end()));
    EXPECT_EQ(shown.back(), 100);
    EXPECT_EQ(host_.statuses.back(), "录制完成，已保存草稿");
    EXPECT_FALSE(pipeline->canCancelExport());
}

// "取消合成" in the middle of the export: the export stops, its movie is gone, and the draft
// holds the raw recording with every track, as after a failed export.
TEST_F(RecordingFinishTest, CancellingTheCompositionSavesTheRawRecording) {
    const auto screen = movie(temp_.path(), "zimlo_screen_11.mov", {{440, 0.5f}}, 300);
    host_.inputs.isSubtitleEnabled = true;
    host_.inputs.subtitleTrack = {segment(0.5, "取消")};
    host_.inputs.recordingSettings = RecordingSettings({320, 240, "小"}, CaptureFrameRate::fps30);
    std::shared_ptr<Pipeline> pipeline = Pipeline::create(host_, services_);
    std::vector<std::string> titlesAtCancel;
    host_.onTitle = [&] {
        if (host_.titles.size() != 2) return;
        EXPECT_TRUE(pipeline->canCancelExport());
        titlesAtCancel = host_.titles;
        pipeline->cancelExport();
        EXPECT_FALSE(pipeline->canCancelExport());
    };
    pipeline->recordingBegan();
    pipeline->filesReported(screen, std::nullopt);
    ASSERT_TRUE(
        test::pumpUntil([&] { return host_.ended.has_value(); }, std::chrono::seconds(240)));
    ASSERT_TRUE(*host_.ended);
    ASSERT_FALSE(titlesAtCancel.empty());
    EXPECT_LT(percentages(titlesAtCancel).back(), 100) << "the export ended before the cancel";
    EXPECT_EQ(host_.titles.size(), 2u) << "progress shown after the cancel";
    EXPECT_EQ(host_.overlays, (std::vector<std::pair<std::string, std::string>>{
                                  {"正在合成视频…", "正在写入字幕和画面，请稍候"},
                                  {"正在取消合成…", "原始视频不会丢失"}}));
    EXPECT_EQ(host_.statuses, (std::vector<std::string>{
                                  "正在同步电脑声音和输入设备声音…", "正在合成字幕到视频文件…",
                                  "已取消合成，正在保存原始录制…", "已取消合成，已保存原始录制"}));
    const RecordingProject& stored = **host_.ended;
    ASSERT_EQ(stored.subtitleTrack.size(), 1u);
    EXPECT_NEAR(stored.duration, 10, 0.1);
    ASSERT_TRUE(stored.mainVideo);
    EXPECT_EQ(localFile(stored.mainVideo)->extension(), ".mov");  // the raw movie, not an export
    // Nothing left in the temporary folder: no partial export, and the raw files were copied.
    EXPECT_TRUE(namesIn(temp_.path()).empty()) << *namesIn(temp_.path()).begin();
}

// An exporter whose reports are far apart: the line is still refreshed four times a second,
// and says how long is left once that is known.
TEST_F(RecordingFinishTest, ProgressLineIsRefreshedBetweenTheExportersReports) {
    const auto screen = movie(temp_.path(), "zimlo_screen_12.mov", {{440, 0.5f}});
    services_.exportMovie = [&](const RecordingProject&, double, int,
                                std::function<void(Pipeline::ExportOutcome)> done,
                                std::function<void(double)> progress, auto) {
        MainQueue::post([progress] { progress(0.1); });
        MainQueue::postAfter(1.1, [progress] { progress(0.5); });
        MainQueue::postAfter(2.0, [done] { done(fail("导出失败：坏了")); });
    };
    host_.inputs.aspect.main = AspectRatio::r4x3;
    finish(screen, std::nullopt);
    ASSERT_TRUE(host_.ended && *host_.ended);
    // Two reports in two seconds, yet the line was set at least twice a second.
    EXPECT_GE(host_.titles.size(), 6u);
    const auto shown = percentages(host_.titles);
    EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end()));
    EXPECT_EQ(shown.front(), 10);
    EXPECT_EQ(shown.back(), 50);
    EXPECT_NE(host_.titles.back().find("，预计还需 1 秒"), std::string::npos)
        << host_.titles.back();
    EXPECT_EQ(host_.statuses.back(), "已保存原始录制，字幕合成失败：导出失败：坏了");
}

// Drafts with subtitles get subtitles.srt and subtitles.vtt beside the movie, holding what the
// movie shows: the composed draft and the raw one after a failed export alike, cut to the movie.
TEST_F(RecordingFinishTest, DraftsWithSubtitlesGetSubtitleFilesOfWhatTheMovieShows) {
    host_.inputs.isSubtitleEnabled = true;
    host_.inputs.subtitleTrack = {SubtitleSegment{Uuid::generate(), 0.8, 1.5, "二"},
                                  SubtitleSegment{Uuid::generate(), 0.2, 0.6, "一"},
                                  SubtitleSegment{Uuid::generate(), 1.2, 1.6, "三"}};
    host_.inputs.recordingSettings = RecordingSettings({320, 240, "小"}, CaptureFrameRate::fps30);
    const std::vector<std::tuple<double, double, std::string>> shown = {{0.2, 0.6, "一"},
                                                                        {0.8, 1.0, "二"}};
    auto expectFiles = [&](const fs::path& folder, const char* which) {
        for (auto format : {SubtitleFileFormat::srt, SubtitleFileFormat::webVTT}) {
            const auto cues =
                readSubtitleFile(folder / subtitleFileName(format), format).valueOr({});
            ASSERT_EQ(cues.size(), shown.size()) << which;
            for (size_t i = 0; i < cues.size(); ++i) {
                EXPECT_NEAR(cues[i].startTime, std::get<0>(shown[i]), 0.0005) << which;
                EXPECT_NEAR(cues[i].endTime, std::get<1>(shown[i]), 0.0005) << which;
                EXPECT_EQ(cues[i].text, std::get<2>(shown[i])) << which;
            }
        }
    };

    finish(movie(temp_.path(), "zimlo_screen_13.mov", {{440, 0.5f}}), std::nullopt);
    ASSERT_TRUE(host_.ended && *host_.ended);
    expectFiles(localFile((*host_.ended)->mainVideo)->parent_path(), "composed");

    host_.ended.reset();
    services_.exportMovie = [](const RecordingProject&, double, int,
                               std::function<void(Pipeline::ExportOutcome)> done, auto,
                               auto) { MainQueue::post([done] { done(fail("导出失败：坏了")); }); };
    finish(movie(temp_.path(), "zimlo_screen_14.mov", {{440, 0.5f}}), std::nullopt);
    ASSERT_TRUE(host_.ended && *host_.ended);
    EXPECT_EQ((*host_.ended)->subtitleTrack.size(), 3u);  // the raw draft keeps its whole track
    expectFiles(localFile((*host_.ended)->mainVideo)->parent_path(), "raw");

    // Subtitle files that cannot be written: the draft stands, the status says what is missing.
    host_.ended.reset();
    services_.saveDraft = [this](const RecordingProject& project, const std::vector<fs::path>&) {
        auto stored = store_.saveDraft(project);
        if (stored && localFile(stored->mainVideo))
            fs::create_directory(localFile(stored->mainVideo)->parent_path() / "subtitles.srt");
        return stored;
    };
    finish(movie(temp_.path(), "zimlo_screen_16.mov", {{440, 0.5f}}), std::nullopt);
    ASSERT_TRUE(host_.ended && *host_.ended);
    const QString status = QString::fromStdString(host_.statuses.back());
    EXPECT_TRUE(status.startsWith(
        QStringLiteral("已保存原始录制，字幕合成失败：导出失败：坏了（字幕文件未能写入：")))
        << host_.statuses.back();
    EXPECT_TRUE(status.endsWith(QStringLiteral("）"))) << host_.statuses.back();
    services_.saveDraft = [this](const RecordingProject& project, const std::vector<fs::path>&) {
        return store_.saveDraft(project);
    };

    // Without subtitles there are none.
    host_.ended.reset();
    host_.inputs.isSubtitleEnabled = false;
    host_.inputs.aspect.main = AspectRatio::r4x3;
    finish(movie(temp_.path(), "zimlo_screen_15.mov", {{440, 0.5f}}), std::nullopt);
    ASSERT_TRUE(host_.ended && *host_.ended);
    const fs::path folder = localFile((*host_.ended)->mainVideo)->parent_path();
    EXPECT_FALSE(fs::exists(folder / "subtitles.srt") || fs::exists(folder / "subtitles.vtt"));

    // Files that cannot be written leave the draft standing; the status line and one log line
    // say so.
    host_.ended.reset();
    host_.inputs.isSubtitleEnabled = true;
    services_.saveDraft = [this](const RecordingProject& project, const std::vector<fs::path>&) {
        auto stored = store_.saveDraft(project);
        if (stored)
            fs::create_directories(localFile(stored->mainVideo)->parent_path() / "subtitles.vtt" /
                                   "x");
        return stored;
    };
    test::LogCapture captured(log::Level::warn);
    finish(movie(temp_.path(), "zimlo_screen_16.mov", {{440, 0.5f}}), std::nullopt);
    ASSERT_TRUE(host_.ended && *host_.ended);
    EXPECT_NE(host_.statuses.back().find("（字幕文件未能写入："), std::string::npos)
        << host_.statuses.back();
    const auto lines = captured.linesWith("recording: writing the subtitle files");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find((*host_.ended)->id.uuidString()), std::string::npos) << lines[0];
}

TEST_F(RecordingFinishTest, WithoutAScreenMovieTheCameraMovieIsStillSaved) {
    // The compositor refuses a project without a screen movie; the camera movie is kept.
    const auto camera = movie(temp_.path(), "zimlo_camera_9.mov", {}, 45);
    host_.inputs.aspect.isPiPEnabled = true;
    host_.inputs.elapsed = 2.5;
    finish(std::nullopt, camera);
    ASSERT_TRUE(host_.ended && *host_.ended);
    EXPECT_EQ(host_.statuses.front(), "正在合成视频文件…");
    EXPECT_EQ(host_.statuses.back(), "已保存原始录制，字幕合成失败：缺少主画面视频");
    EXPECT_EQ((*host_.ended)->duration, 2.5);  // elapsed time without a movie to measure
    EXPECT_TRUE((*host_.ended)->pipVideo && fs::exists(*localFile((*host_.ended)->pipVideo)));

    EXPECT_NEAR(Pipeline::measuredDuration(localFile((*host_.ended)->pipVideo), 9), 1.5, 0.05);
    EXPECT_EQ(Pipeline::measuredDuration(temp_.path() / "missing.mov", 2.5), 2.5);
    EXPECT_EQ(Pipeline::measuredDuration(temp_.path() / "missing.mov", NAN), 0);
    EXPECT_EQ(Pipeline::measuredDuration(std::nullopt, -1), 0);
}

// Stopped before the screen gave a picture: its movie was never made. The user is told so, no
// draft is attempted, and the camera movie stays with its folder as after any failed finish.
TEST_F(RecordingFinishTest, AStopBeforeTheFirstScreenPictureSavesNothingAndSaysWhy) {
    const fs::path recordings = elsewhere_.path() / "recordings";
    services_.recordingsDirectory = recordings;
    auto folder = RecordingFolder::create(recordings).value();
    const fs::path screen = folder->path() / "zimlo_screen_10.mov";
    const auto camera = movie(folder->path(), "zimlo_camera_10.mov", {}, 10);
    host_.inputs.aspect.isPiPEnabled = true;
    host_.inputs.isSubtitleEnabled = true;
    host_.inputs.subtitleTrack = {segment(0.1, "一")};
    host_.inputs.elapsed = 1;
    const auto draftsBefore = namesIn(drafts_.path());
    const auto folderBefore = namesIn(folder->path());  // its lock and the camera movie
    for (const bool composes : {true, false}) {
        SCOPED_TRACE(composes ? "composition expected" : "sounds mixed first");
        host_.ended.reset();
        host_.statuses.clear();
        host_.overlayHidden = 0;
        host_.expectsComposition = composes;
        auto pipeline = Pipeline::create(host_, services_);
        pipeline->recordingBegan();
        pipeline->filesReported(screen, camera, folder);
        ASSERT_TRUE(
            test::pumpUntil([&] { return host_.ended.has_value(); }, std::chrono::seconds(60)));
        EXPECT_EQ(*host_.ended, std::nullopt);
        EXPECT_EQ(host_.statuses,
                  std::vector<std::string>{"录制完成但保存草稿失败：没有录到任何内容："
                                           "停止前屏幕还没有送来画面"});
        EXPECT_TRUE(host_.overlays.empty());
        EXPECT_EQ(host_.overlayHidden, 1);
        EXPECT_TRUE(saved_.empty());
        EXPECT_EQ(namesIn(drafts_.path()), draftsBefore);
        EXPECT_EQ(namesIn(folder->path()), folderBefore);
        EXPECT_TRUE(namesIn(temp_.path()).empty());
    }
}

// Sets to zero the duration the `nth` `box` of a QuickTime file declares: "mvhd" for the movie,
// "mdhd" for a track (in track order).
void zeroDeclaredDuration(const fs::path& url, const std::string& box, int nth) {
    std::string bytes;
    {
        std::ifstream in(url, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    size_t at = std::string::npos;
    for (int i = 0; i <= nth; ++i) at = bytes.find(box, at == std::string::npos ? 0 : at + 4);
    ASSERT_NE(at, std::string::npos);
    // After the name: version, flags, two dates and the time scale, then the duration.
    const bool wide = bytes[at + 4] == 1;
    bytes.replace(at + (wide ? 28 : 20), wide ? 8 : 4, std::string(wide ? 8 : 4, '\0'));
    std::ofstream(url, std::ios::binary | std::ios::trunc) << bytes;
}

// A movie that declares no length of its own: its duration is the end of its video track, then
// of its audio track (although the sound lasts longer), then the elapsed recording time.
TEST_F(RecordingFinishTest, DurationFallsBackToTheVideoThenTheAudioTrackThenTheElapsedTime) {
    const fs::path screen = temp_.path() / "zimlo_screen_5.mov";
    ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=30:d=2 "
                           "-f lavfi -i sine=d=3 -c:v libx264 -preset ultrafast -c:a aac '" +
                           screen.string() + "'")
                              .c_str()),
              0);
    EXPECT_NEAR(Pipeline::measuredDuration(screen, 9), 3, 0.05);  // the movie's own

    zeroDeclaredDuration(screen, "mvhd", 0);
    EXPECT_NEAR(Pipeline::measuredDuration(screen, 9), 2, 0.05);
    // The project of such a recording (the mix hands the movie back as it is).
    services_.mixAudio = [](const fs::path& main, std::function<void(Pipeline::MixOutcome)> done) {
        MainQueue::post([main, done] { done(main); });
    };
    host_.inputs.elapsed = 7.5;
    finish(screen, std::nullopt);
    ASSERT_TRUE(host_.ended && *host_.ended) << host_.statuses.back();
    EXPECT_NEAR((*host_.ended)->duration, 2, 0.05);

    const fs::path copy = temp_.path() / "zimlo_screen_6.mov";
    fs::copy_file(*localFile((*host_.ended)->mainVideo), copy);
    zeroDeclaredDuration(copy, "mdhd", 0);
    EXPECT_NEAR(Pipeline::measuredDuration(copy, 9), 3, 0.05);
    zeroDeclaredDuration(copy, "mdhd", 1);
    EXPECT_EQ(Pipeline::measuredDuration(copy, 9), 9);
}

// A recording cut short by its writer (a full disk) is saved as recorded, with every track and
// without composing, and its outcome says it was cut short, never that it completed.
TEST_F(RecordingFinishTest, AnInterruptedRecordingIsSavedRawAndSaysSo) {
    const auto screen = movie(temp_.path(), "zimlo_screen_9.mov", {{440, 0.5f}});
    const auto camera = movie(temp_.path(), "zimlo_camera_9.mov", {});
    host_.inputs.aspect.isPiPEnabled = true;
    host_.inputs.pipTrack = {PiPKeyframe{0, {0.8, 0.8}, {0.2, 0.2}, 12}};
    host_.inputs.isSubtitleEnabled = true;
    host_.inputs.subtitleTrack = {segment(0.1, "字幕")};
    bool exported = false;
    services_.exportMovie = [&](const RecordingProject&, double, int,
                                std::function<void(Pipeline::ExportOutcome)>, auto,
                                auto) { exported = true; };

    auto pipeline = Pipeline::create(host_, services_);
    pipeline->recordingBegan();
    pipeline->recordingInterrupted(QStringLiteral("磁盘空间不足"));
    pipeline->filesReported(screen, camera);
    ASSERT_TRUE(test::pumpUntil([&] { return host_.ended.has_value(); }, std::chrono::seconds(60)));
    ASSERT_TRUE(*host_.ended);
    EXPECT_FALSE(exported);
    EXPECT_EQ(host_.statuses.back(), "磁盘空间不足，录制已中断，已保存中断前的录制");
    for (const auto& status : host_.statuses) EXPECT_EQ(status.find("录制完成"), std::string::npos);
    ASSERT_EQ(saved_.size(), 1u);
    EXPECT_EQ(saved_[0].pipTrack.size(), 1u);
    EXPECT_EQ(saved_[0].subtitleTrack.size(), 1u);
    EXPECT_TRUE(saved_[0].pipVideo.has_value());
    EXPECT_TRUE(namesIn(temp_.path()).empty());  // the raw movies now live in the draft

    // When the draft cannot be stored either, that is said too, and everything stays.
    host_ = FakeHost{};
    host_.inputs.aspect.isPiPEnabled = false;
    services_.saveDraft =
        [](const RecordingProject& project,
           const std::vector<fs::path>&) -> Result<RecordingProject, DraftSaveError> {
        return fail(DraftSaveError{*localFile(project.mainVideo),
                                   std::make_error_code(std::errc::no_space_on_device), "copy"});
    };
    const auto again = movie(temp_.path(), "zimlo_screen_10.mov", {{440, 0.5f}});
    auto failing = Pipeline::create(host_, services_);
    failing->recordingBegan();
    failing->recordingInterrupted(QStringLiteral("磁盘空间不足"));
    failing->filesReported(again, std::nullopt);
    ASSERT_TRUE(test::pumpUntil([&] { return host_.ended.has_value(); }, std::chrono::seconds(60)));
    EXPECT_EQ(*host_.ended, std::nullopt);
    EXPECT_EQ(host_.statuses.back(),
              "磁盘空间不足，录制已中断，保存草稿也失败：磁盘空间不足（" + again.string() + "）");
    EXPECT_TRUE(fs::exists(again));
}

// A recording that already asks for composition when its files come leaves the mixing of its two
// sounds to the export, which mixes with the same volumes and encoding: one pass less, the same
// draft. Both ways are run on the same movies and the drafts compared picture by picture and
// sample by sample.
TEST_F(RecordingFinishTest, ExpectedCompositionLeavesTheSoundsToTheExportAndSavesTheSameMovie) {
    int mixes = 0;
    services_.mixAudio = [&mixes](const fs::path& main,
                                  std::function<void(Pipeline::MixOutcome)> done) {
        ++mixes;
        capture::ScreenRecordingAudioMixer::mixAudio(main, [done](capture::MixerResult result) {
            if (result.ok())
                done(result.value());
            else
                done(fail(result.error().description()));
        });
    };
    host_.inputs.aspect.isPiPEnabled = true;
    host_.inputs.pipTrack = {PiPKeyframe{0, {0.7, 0.7}, {0.3, 0.3}, 12},
                             PiPKeyframe{0.5, {0.3, 0.3}, {0.3, 0.3}, 12}};
    host_.inputs.isSubtitleEnabled = true;
    host_.inputs.subtitleTrack = {segment(0.2, "字幕")};
    const FinishInputs inputs = host_.inputs;

    std::vector<DecodedMovie> drafts;
    std::vector<std::vector<std::string>> statuses;
    for (bool expected : {false, true}) {
        const std::string n = expected ? "b" : "a";
        // A still screen: the export's encoder search then cannot depend on the small
        // difference in stored bit rate between the raw and the mixed movie.
        const auto screen = movie(temp_.path(), "zimlo_screen_" + n + ".mov",
                                  {{440, 0.5f}, {1320, 0.3f}}, 45, true);
        const auto camera = movie(temp_.path(), "zimlo_camera_" + n + ".mov", {}, 45);
        host_ = FakeHost{};
        host_.inputs = inputs;
        host_.expectsComposition = expected;
        mixes = 0;
        finish(screen, camera);
        ASSERT_TRUE(host_.ended && *host_.ended);
        EXPECT_EQ(mixes, expected ? 0 : 1);
        EXPECT_TRUE(namesIn(temp_.path()).empty());  // the raw, camera and exported movies
        statuses.push_back(host_.statuses);
        drafts.push_back(decode(*localFile((*host_.ended)->mainVideo)));
    }
    // Only a mixing pass says the sounds are being mixed.
    EXPECT_EQ(statuses[0],
              (std::vector<std::string>{"正在同步电脑声音和输入设备声音…",
                                        "正在合成字幕到视频文件…", "录制完成，已保存草稿"}));
    EXPECT_EQ(statuses[1],
              (std::vector<std::string>{"正在合成字幕到视频文件…", "录制完成，已保存草稿"}));
    const DecodedMovie &slow = drafts[0], &fast = drafts[1];
    EXPECT_EQ(slow.pictures.size(), 45u);
    ASSERT_EQ(fast.pictures.size(), slow.pictures.size());
    for (size_t i = 0; i < slow.pictures.size(); ++i)
        EXPECT_TRUE(fast.pictures[i] == slow.pictures[i]) << "picture " << i;
    // One encoding of the same mix: the same packets. The separate mix's copied track lost its
    // first one (the encoder's lead-in, timed before zero); the last may end differently.
    ASSERT_EQ(fast.sound.size(), slow.sound.size() + 1);
    for (size_t i = 0; i + 2 < slow.sound.size(); ++i)
        EXPECT_TRUE(fast.sound[i + 1] == slow.sound[i]) << "sound packet " << i;
}

// When the export fails, or composition is no longer wanted when the project is built (the camera
// was switched off meanwhile), the raw draft still gets its sounds mixed into one track.
TEST_F(RecordingFinishTest, LeftToTheExportTheSoundsAreStillMixedForARawDraft) {
    int mixes = 0;
    services_.mixAudio = [&mixes](const fs::path& main,
                                  std::function<void(Pipeline::MixOutcome)> done) {
        ++mixes;
        capture::ScreenRecordingAudioMixer::mixAudio(main, [done](capture::MixerResult result) {
            if (result.ok())
                done(result.value());
            else
                done(fail(result.error().description()));
        });
    };
    services_.exportMovie = [](const RecordingProject&, double, int,
                               std::function<void(Pipeline::ExportOutcome)> done, auto,
                               auto) { MainQueue::post([done] { done(fail("导出失败：坏了")); }); };
    auto soundTracks = [](const fs::path& url) {
        auto asset = test::valueOrFailure(media::MovieAsset::open(url));
        return asset ? asset->tracks(media::MediaType::audio).size() : 0u;
    };

    const auto screen = movie(temp_.path(), "zimlo_screen_c.mov", {{440, 0.5f}, {880, 0.5f}});
    const auto camera = movie(temp_.path(), "zimlo_camera_c.mov", {});
    host_.expectsComposition = true;
    host_.inputs.aspect.isPiPEnabled = true;
    host_.inputs.pipTrack = {PiPKeyframe{0, {0.8, 0.8}, {0.2, 0.2}, 12}};
    host_.inputs.elapsed = 4;
    finish(screen, camera);
    ASSERT_TRUE(host_.ended && *host_.ended);
    EXPECT_EQ(mixes, 1);
    EXPECT_EQ(host_.statuses,
              (std::vector<std::string>{"正在合成视频文件…", "字幕合成失败，正在保存原始录制…",
                                        "已保存原始录制，字幕合成失败：导出失败：坏了"}));
    const RecordingProject& kept = saved_.at(0);
    EXPECT_NE(kept.mainVideo, screen);  // the mixed movie
    EXPECT_EQ(kept.pipVideo, camera);
    EXPECT_EQ(kept.pipTrack, host_.inputs.pipTrack);
    EXPECT_NEAR(kept.duration, 1.0, 0.1);
    EXPECT_EQ(soundTracks(*localFile((*host_.ended)->mainVideo)), 1u);
    EXPECT_TRUE(namesIn(temp_.path()).empty());

    const auto screen2 = movie(temp_.path(), "zimlo_screen_d.mov", {{440, 0.5f}, {880, 0.5f}});
    host_ = FakeHost{};
    host_.expectsComposition = true;  // said when the files came; the camera went off since
    host_.inputs.aspect.isPiPEnabled = false;
    mixes = 0;
    finish(screen2, std::nullopt);
    ASSERT_TRUE(host_.ended && *host_.ended);
    EXPECT_EQ(mixes, 1);
    EXPECT_EQ(host_.statuses, (std::vector<std::string>{"正在同步电脑声音和输入设备声音…",
                                                        "录制完成，已保存原始视频"}));
    EXPECT_TRUE(host_.overlays.empty());
    EXPECT_NE(saved_.at(1).mainVideo, screen2);
    EXPECT_EQ(soundTracks(*localFile((*host_.ended)->mainVideo)), 1u);
    EXPECT_TRUE(namesIn(temp_.path()).empty());

    // Cancelled: the same.
    std::function<void(Pipeline::ExportOutcome)> pending;
    services_.exportMovie = [&pending](const RecordingProject&, double, int,
                                       std::function<void(Pipeline::ExportOutcome)> done, auto,
                                       auto) { pending = std::move(done); };
    const auto screen3 = movie(temp_.path(), "zimlo_screen_e.mov", {{440, 0.5f}, {880, 0.5f}});
    host_ = FakeHost{};
    host_.expectsComposition = true;
    host_.inputs.isSubtitleEnabled = true;
    host_.inputs.subtitleTrack = {segment(0.2, "取消")};
    mixes = 0;
    auto pipeline = Pipeline::create(host_, services_);
    pipeline->recordingBegan();
    pipeline->filesReported(screen3, std::nullopt);
    ASSERT_TRUE(test::pumpUntil([&] { return bool(pending); }, std::chrono::seconds(60)));
    EXPECT_EQ(mixes, 0);
    pipeline->cancelExport();
    pending(fail("已取消合成"));
    ASSERT_TRUE(test::pumpUntil([&] { return host_.ended.has_value(); }, std::chrono::seconds(60)));
    ASSERT_TRUE(*host_.ended);
    EXPECT_EQ(mixes, 1);
    EXPECT_EQ(host_.statuses.back(), "已取消合成，已保存原始录制");
    EXPECT_EQ((*host_.ended)->subtitleTrack.size(), 1u);
    EXPECT_EQ(soundTracks(*localFile((*host_.ended)->mainVideo)), 1u);
    EXPECT_TRUE(namesIn(temp_.path()).empty());
}

// A recording with its composed movie made while it runs: the pipeline follows the movies as
// they are written, and after the stop only the end is composed; the draft holds that movie.
// A follower that broke off during the recording leaves the composition to the export after
// the stop, and "取消合成" during the last seconds saves the raw recording as before.
class FollowedRecordingTest : public RecordingFinishTest {
  protected:
    enum class During {
        nothing,
        followerCancelled,
        compositionCancelled,
        captureLosing,       // the capture loses pictures from the start
        captureLosingLater,  // and from half-way
        followerHopeless,    // far behind and not catching up
        machineBusy,         // a tenth of a core idle from the start
    };

    void SetUp() override {
        RecordingFinishTest::SetUp();
        // Other tests run beside this one: the composition must not wait for an idle machine.
        services_.composesOnIdleTime = false;
        // A window short enough for a recording of a few seconds.
        services_.captureLossLimits.windowSeconds = 0.3;
        services_.spareProcessorLimits.windowSeconds = 0.3;
        // Idle time as the case wants it, not as the machine running the tests has it.
        services_.processorTimes = [this] {
            machine_.total += 200;
            machine_.idle += idleCores_ * 100;
            return std::optional<ProcessorTimes>(machine_);
        };
        // The export after the stop, counted.
        services_.exportMovie = [&](const RecordingProject& project, double longEdge, int fps,
                                    std::function<void(Pipeline::ExportOutcome)> done,
                                    std::function<void(double)>,
                                    std::shared_ptr<compose::ExportJob>) {
            ++exports_;
            auto compositor = std::make_shared<compose::VideoCompositor>();
            compositor->exportDirectory = temp_.path();
            compositor->exportLongEdge = longEdge;
            compositor->exportFrameRate = fps;
            compositor->exportMovie(project, true, 0, std::nullopt,
                                    [compositor, done](compose::VideoCompositor::Result result) {
                                        if (result.ok())
                                            done(*result);
                                        else
                                            done(fail(result.error().description()));
                                    });
        };
    }

    // Four seconds of a recording with the camera window and a subtitle, followed while it grows
    // (with `during` happening), then finished; the composition's report.
    std::optional<Pipeline::CompositionReport> record(const std::string& number, During during) {
        host_ = FakeHost{};
        saved_.clear();
        host_.inputs.aspect.isPiPEnabled = true;
        host_.inputs.pipTrack = {PiPKeyframe{0, {0.75, 0.3}, {0.3, 0.3}, 12}};
        host_.inputs.isSubtitleEnabled = true;
        host_.inputs.subtitleTrack = {segment(0.5, "你好")};
        host_.inputs.recordingSettings =
            RecordingSettings({320, 240, "小"}, CaptureFrameRate::fps30);
        host_.expectsComposition = true;
        // "取消合成" as soon as the overlay offers it.
        if (during == During::compositionCancelled)
            host_.onOverlay = [&] {
                if (pipeline_ && pipeline_->canCancelExport()) pipeline_->cancelExport();
            };
        idleCores_ = during == During::machineBusy ? 0.1 : 1.5;
        const bool watched = during == During::captureLosing ||
                             during == During::captureLosingLater || during == During::machineBusy;
        // Written in real time where the pipeline must look a few times while it grows.
        const bool slow = watched || during == During::followerHopeless;
        test::GrowingRecording recording(temp_.path(), number, 120,
                                         std::chrono::milliseconds(slow ? 33 : 6));
        // Far behind a file written in real time, whose pace it cannot pass: asked for twice it.
        services_.followerPaceLimits = during == During::followerHopeless
                                           ? FollowerPace::Limits{0.5, 2, 1}
                                           : FollowerPace::Limits{};
        pipeline_ = Pipeline::create(host_, services_);
        pipeline_->recordingBegan();
        pipeline_->recordingStarted(recording.screen(), recording.camera());
        CaptureFrameCounts frames;
        bool followed = false;
        while (recording.written() < recording.length() - 0.1) {
            FollowInputs now;
            now.gathered = host_.inputs;
            now.gathered.elapsed = recording.written();
            if (during == During::followerHopeless) now.gathered.elapsed += 100;
            const bool losing =
                during == During::captureLosing || (during == During::captureLosingLater &&
                                                    recording.written() > recording.length() / 2);
            frames.taken += 2;
            frames.lost += losing ? 1 : 0;
            if (watched) now.screenFrames = frames;
            host_.following = now;
            test::pumpUntil([] { return false; }, std::chrono::milliseconds(30));
            followed = followed || pipeline_->follower();
        }
        if (during == During::captureLosing || during == During::machineBusy) {
            EXPECT_FALSE(followed) << "composed with no time to spare for it";
        } else if (during == During::captureLosingLater || during == During::followerHopeless) {
            EXPECT_TRUE(followed) << "nothing followed the recording";
            EXPECT_FALSE(pipeline_->follower()) << "the composition ran on";
        } else {
            EXPECT_TRUE(pipeline_->follower()) << "nothing followed the recording";
        }
        if (during == During::followerCancelled && pipeline_->follower())
            pipeline_->follower()->cancel();
        recording.join();
        host_.following.reset();
        host_.inputs.elapsed = recording.length();
        pipeline_->filesReported(recording.screen(), recording.camera());
        EXPECT_TRUE(
            test::pumpUntil([&] { return host_.ended.has_value(); }, std::chrono::minutes(4)));
        EXPECT_TRUE(namesIn(temp_.path()).empty()) << "temporary files left behind";
        return pipeline_->lastComposition();
    }

    int exports_ = 0;
    ProcessorTimes machine_{0, 0, 2};
    double idleCores_ = 1.5;
};

TEST_F(FollowedRecordingTest, AMovieComposedWhileRecordingIsFinishedOrElseExportedAfterTheStop) {
    const auto followed = record("21", During::nothing);
    ASSERT_TRUE(host_.ended && *host_.ended);
    EXPECT_EQ(exports_, 0);
    ASSERT_TRUE(followed);
    EXPECT_TRUE(followed->followed) << followed->fallbackReason;

    EXPECT_EQ(host_.statuses.back(), "录制完成，已保存草稿");
    ASSERT_EQ(saved_.size(), 1u);
    EXPECT_FALSE(saved_[0].pipVideo);
    EXPECT_TRUE(saved_[0].subtitleTrack.empty());
    const auto draft = *localFile((*host_.ended)->mainVideo);
    const auto movie = decode(draft);
    EXPECT_EQ(static_cast<int64_t>(movie.pictures.size()), followed->frameCount);
    // Four seconds of pictures; the sound may run a frame longer.
    EXPECT_NEAR(static_cast<double>(movie.pictures.size()), 120, 1);
    EXPECT_NEAR(media::availableDuration(draft, 0), 4.0, 2.0 / 30);
    // The draft's subtitle files say what the movie shows.
    const auto cues =
        readSubtitleFile(draft.parent_path() / "subtitles.srt", SubtitleFileFormat::srt)
            .valueOr({});
    ASSERT_EQ(cues.size(), 1u);
    EXPECT_EQ(cues[0].text, "你好");

    const auto fellBack = record("22", During::followerCancelled);
    ASSERT_TRUE(host_.ended && *host_.ended);
    EXPECT_EQ(exports_, 1);
    ASSERT_TRUE(fellBack);
    EXPECT_FALSE(fellBack->followed);
    EXPECT_FALSE(fellBack->fallbackReason.empty());
    EXPECT_EQ(host_.statuses.back(), "录制完成，已保存草稿");
    EXPECT_EQ(decode(*localFile((*host_.ended)->mainVideo)).pictures.size(), movie.pictures.size());

    // The recording comes first: a capture that loses pictures or a machine without idle time
    // has nothing composed beside it, and a composition that cannot keep up stops; the export
    // then makes the same movie.
    for (const auto& [number, during, reason] :
         {std::tuple{"24", During::captureLosing, "the capture was losing pictures"},
          std::tuple{"25", During::captureLosingLater, "the capture lost"},
          std::tuple{"26", During::followerHopeless, "too slow to keep up"},
          std::tuple{"27", During::machineBusy, "of a core idle"}}) {
        const int exportsBefore = exports_;
        const auto report = record(number, during);
        ASSERT_TRUE(host_.ended && *host_.ended);
        EXPECT_EQ(exports_, exportsBefore + 1);
        ASSERT_TRUE(report);
        EXPECT_FALSE(report->followed);
        EXPECT_NE(report->fallbackReason.find(reason), std::string::npos) << report->fallbackReason;
        EXPECT_EQ(host_.statuses.back(), "录制完成，已保存草稿");
        EXPECT_EQ(decode(*localFile((*host_.ended)->mainVideo)).pictures.size(),
                  movie.pictures.size());
    }

    record("23", During::compositionCancelled);
    ASSERT_TRUE(host_.ended && *host_.ended);
    EXPECT_EQ(exports_, 5);
    EXPECT_EQ(host_.statuses.back(), "已取消合成，已保存原始录制");
    EXPECT_TRUE((*host_.ended)->pipVideo) << "the raw draft keeps the camera movie";
    EXPECT_EQ((*host_.ended)->subtitleTrack.size(), 1u);
}

}  // namespace
}  // namespace zimlo::recording
