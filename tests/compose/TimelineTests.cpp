#include <gtest/gtest.h>

#include "compose/CompositionInstruction.h"
#include "compose/VideoCompositor.h"

namespace zimlo::compose {
namespace {

using media::MediaTime;
using media::TimeRange;

PiPKeyframe pip(double time, double x = 0.5) { return {time, {x, 0.5}, {0.3, 0.2}, 12}; }

SubtitleSegment segment(double start, double end, std::string text) {
    return {Uuid::generate(), start, end, std::move(text)};
}

PiPCompositionInstruction instruction() {
    return PiPCompositionInstruction({MediaTime::zero(), MediaTime::make(10, 1)}, 1, 3);
}

TEST(CompositionInstruction, StartsWithItsDocumentedValues) {
    auto i = instruction();
    EXPECT_EQ(i.requiredSourceTrackIDs, (std::vector<TrackID>{1, 3}));
    EXPECT_EQ(i.passthroughTrackID, kInvalidTrackID);
    EXPECT_TRUE(i.containsTweening);
    EXPECT_EQ(i.canvas, (Size{1080, 1920}));
    EXPECT_EQ(i.subtitleLayout, SubtitleLayout{});
    PiPCompositionInstruction mainOnly({MediaTime::zero(), MediaTime::make(1, 1)}, 7, std::nullopt);
    EXPECT_EQ(mainOnly.requiredSourceTrackIDs, (std::vector<TrackID>{7}));
}

TEST(TimelineSampling, KeyframesStepWithoutInterpolation) {
    auto i = instruction();
    EXPECT_FALSE(samplePiPKeyframe(i, 1));
    i.pipKeyframes = {pip(5, 0.1)};
    EXPECT_EQ(samplePiPKeyframe(i, 0)->center.x, 0.1);
    EXPECT_EQ(samplePiPKeyframe(i, 100)->center.x, 0.1);
    // Stored out of order: sorted for sampling, stored list unchanged.
    i.pipKeyframes = {pip(2, 0.2), pip(0, 0.0)};
    EXPECT_EQ(samplePiPKeyframe(i, 1.999)->center.x, 0.0);
    EXPECT_EQ(samplePiPKeyframe(i, 2)->center.x, 0.2);
    EXPECT_EQ(i.pipKeyframes.front().time, 2);
}

TEST(TimelineSampling, SplitScreenLaterEqualKeyframeWinsAndRatioIsClamped) {
    auto i = instruction();
    i.splitScreenOrder = CameraSplitOrder::backTop;
    i.splitScreenTopRatio = 0.9;  // assigned directly, so not clamped yet
    EXPECT_EQ(sampleSplitScreen(i, 0), std::make_pair(CameraSplitOrder::backTop, 0.72));
    i.splitScreenTopRatio = 0.1;
    EXPECT_EQ(sampleSplitScreen(i, 0).second, 0.28);

    SplitScreenKeyframe first(1, CameraSplitOrder::frontTop, 0.4);
    SplitScreenKeyframe second(1, CameraSplitOrder::backTop, 0.6);
    i.splitScreenKeyframes = {first, second};
    EXPECT_EQ(sampleSplitScreen(i, 0.5), std::make_pair(CameraSplitOrder::frontTop, 0.4));
    EXPECT_EQ(sampleSplitScreen(i, 1), std::make_pair(CameraSplitOrder::backTop, 0.6));
    i.splitScreenKeyframes[1].topRatio = 0.72;
    EXPECT_EQ(sampleSplitScreen(i, 3).second, 0.72);
}

TEST(TimelineSampling, FirstCoveringSubtitleWinsEvenWhenEmpty) {
    auto i = instruction();
    i.subtitles = {segment(0, 2, "A"), segment(1, 3, "B")};
    EXPECT_EQ(activeSubtitle(i, 1.5)->text, "A");
    EXPECT_EQ(activeSubtitle(i, 2)->text, "A");
    EXPECT_EQ(activeSubtitle(i, 2.5)->text, "B");
    EXPECT_FALSE(activeSubtitle(i, 3.5));
    i.subtitles = {segment(0, 2, ""), segment(1, 3, "B")};
    EXPECT_FALSE(activeSubtitle(i, 1.5));
}

TEST(TimelineRebasing, PiPKeyframesStartWithTheOneInEffect) {
    auto result = rebasePiPKeyframes({pip(5, 0.5), pip(0, 0.0), pip(3, 0.3)}, 3);
    ASSERT_EQ(result.size(), 2u);
    EXPECT_EQ(result[0].time, 0);
    EXPECT_EQ(result[0].center.x, 0.3);
    EXPECT_EQ(result[1].time, 2);
    EXPECT_EQ(result[1].center.x, 0.5);
    EXPECT_TRUE(rebasePiPKeyframes({}, 3).empty());
}

TEST(TimelineRebasing, SplitKeyframesNeverEmptyAndClamped) {
    auto result =
        rebaseSplitScreenKeyframes({SplitScreenKeyframe(6, CameraSplitOrder::frontTop, 0.3),
                                    SplitScreenKeyframe(4, CameraSplitOrder::backTop, 0.6)},
                                   CameraSplitOrder::frontTop, 3, 0.5);
    ASSERT_EQ(result.size(), 3u);
    EXPECT_EQ(result[0], SplitScreenKeyframe(0, CameraSplitOrder::backTop, 0.6));
    EXPECT_EQ(result[1].time, 1);
    EXPECT_EQ(result[2].time, 3);
    auto defaults = rebaseSplitScreenKeyframes({}, CameraSplitOrder::backTop, 3, 0.9);
    ASSERT_EQ(defaults.size(), 1u);
    EXPECT_EQ(defaults[0], SplitScreenKeyframe(0, CameraSplitOrder::backTop, 0.72));
}

TEST(TimelineRebasing, SubtitlesAreClippedToTheSpan) {
    auto result = clipSubtitles({segment(8, 11, "a"), segment(14, 20, "b"), segment(15.5, 16, "c"),
                                 segment(2, 9, "d"), segment(NAN, 12, "e")},
                                10, 5);
    ASSERT_EQ(result.size(), 2u);
    EXPECT_EQ(std::make_pair(result[0].startTime, result[0].endTime), std::make_pair(0.0, 1.0));
    EXPECT_EQ(std::make_pair(result[1].startTime, result[1].endTime), std::make_pair(4.0, 5.0));
    EXPECT_EQ(result[1].text, "b");
}

TEST(TimelineRebasing, CropMappingOnlyForFixedAspectCameraRecordings) {
    RecordingProject project;
    project.sourceKind = RecordingSourceKind::camera;
    project.aspect.main = AspectRatio::r1x1;
    project.aspect.isPiPEnabled = true;
    project.captureViewportSize = Size{200, 100};  // crop: 100 × 100 at x0 = 50
    PiPKeyframe k{1, {0.5, 0.25}, {0.1, 0.2}, 9};
    auto mapped = mapPiPKeyframesToCrop({k}, project);
    EXPECT_DOUBLE_EQ(mapped[0].center.x, 0.5);
    EXPECT_DOUBLE_EQ(mapped[0].center.y, 0.25);
    EXPECT_DOUBLE_EQ(mapped[0].size.width, 0.2);
    EXPECT_DOUBLE_EQ(mapped[0].size.height, 0.2);
    EXPECT_EQ(mapped[0].cornerRadius, 9);
    project.sourceKind = RecordingSourceKind::screen;
    EXPECT_EQ(mapPiPKeyframesToCrop({k}, project)[0], k);
    project.sourceKind = RecordingSourceKind::camera;
    project.captureViewportSize = Size{0, 100};
    EXPECT_EQ(mapPiPKeyframesToCrop({k}, project)[0], k);
}

// What a composition made while recording drew holds when the frames drawn come out the same
// with what was gathered later: additions past them do, changes reaching back do not.
TEST(DrawnAlike, OnlyChangesReachingIntoTheDrawnFramesCount) {
    auto instruction = [](std::vector<PiPKeyframe> keyframes,
                          std::vector<SubtitleSegment> subtitles) {
        auto i = std::make_shared<PiPCompositionInstruction>(
            media::TimeRange{media::MediaTime::zero(), media::MediaTime::make(60, 1)}, 1, 2);
        i->canvas = {640, 360};
        i->pipKeyframes = std::move(keyframes);
        i->subtitles = std::move(subtitles);
        return i;
    };
    const PiPKeyframe here{0, {0.8, 0.2}, {0.3, 0.3}, 12};
    const PiPKeyframe there{2, {0.2, 0.8}, {0.3, 0.3}, 12};
    const SubtitleSegment said{Uuid::generate(), 0.5, 1.0, "你好"};
    const auto drawn = instruction({here}, {said});
    // 60 frames at 30 fps: up to 1.967 s.
    EXPECT_TRUE(drawsAlike(*drawn, *instruction({here, there}, {said}), 60, 30));
    EXPECT_TRUE(drawsAlike(
        *drawn, *instruction({here}, {said, {Uuid::generate(), 2.0, 3.0, "后来"}}), 60, 30));
    EXPECT_FALSE(drawsAlike(*drawn, *instruction({here, there}, {said}), 61, 30));
    // The same places and texts told differently still draw the same.
    PiPKeyframe again = here;
    again.time = 1;
    again.cornerRadius = 20;
    EXPECT_TRUE(drawsAlike(
        *drawn, *instruction({here, again}, {{Uuid::generate(), 0.5, 1.0, "你好"}}), 60, 30));
    // Reaching back: a subtitle inside the drawn frames, another text, a moved window, the
    // caption elsewhere, the camera gone.
    EXPECT_FALSE(drawsAlike(
        *drawn, *instruction({here}, {said, {Uuid::generate(), 1.5, 1.8, "插入"}}), 60, 30));
    EXPECT_FALSE(
        drawsAlike(*drawn, *instruction({here}, {{Uuid::generate(), 0.5, 1.0, "您好"}}), 60, 30));
    EXPECT_FALSE(drawsAlike(*drawn, *instruction({there}, {said}), 60, 30));
    auto moved = instruction({here}, {said});
    moved->subtitleLayout.center = {0.5, 0.3};
    EXPECT_FALSE(drawsAlike(*drawn, *moved, 60, 30));
    auto withoutCamera =
        std::make_shared<PiPCompositionInstruction>(drawn->timeRange, 1, std::nullopt);
    withoutCamera->canvas = drawn->canvas;
    withoutCamera->pipKeyframes = {here};
    withoutCamera->subtitles = {said};
    EXPECT_FALSE(drawsAlike(*drawn, *withoutCamera, 60, 30));
    // A subtitle ending later than the frames drawn is the same to them wherever it ends.
    EXPECT_TRUE(drawsAlike(*instruction({here}, {{Uuid::generate(), 1.5, 9.0, "长句"}}),
                           *instruction({here}, {{Uuid::generate(), 1.5, 2.5, "长句"}}), 60, 30));
}

TEST(VideoTrackTransform, RoundsTheMatrixToOneOfEightOrientations) {
    auto orientation = [](double a, double b, double c, double d) {
        return VideoTrackTransform::fromPreferredTransform({a, b, c, d, 100, 200}).orientation;
    };
    EXPECT_EQ(orientation(0.0000001, 0.99999, -1.0000001, -0.0000002), ImageOrientation::right);
    EXPECT_EQ(orientation(1, 0, 0, 1), ImageOrientation::up);
    EXPECT_EQ(orientation(-1, 0, 0, 1), ImageOrientation::upMirrored);
    EXPECT_EQ(orientation(0, -1, 1, 0), ImageOrientation::left);
    EXPECT_EQ(orientation(0, 1, 1, 0), ImageOrientation::leftMirrored);
    EXPECT_FALSE(orientation(0.7071, 0.7071, -0.7071, 0.7071));
}

// ---- builder rules that need no movie ----

media::AssetTrack videoTrack(double width, double height, media::AffineTransform transform = {}) {
    media::AssetTrack track;
    track.mediaType = media::MediaType::video;
    track.naturalSize = {width, height};
    track.preferredTransform = transform;
    return track;
}

TEST(ExportRules, RenderSizeFollowsAspectKindAndLongEdge) {
    VideoCompositor compositor;
    RecordingProject screen;
    screen.sourceKind = RecordingSourceKind::screen;
    compositor.exportLongEdge = 1920;
    auto size = compositor.renderSize(videoTrack(1512, 982), screen);
    EXPECT_EQ(size, (Size{1512, 982}));
    compositor.exportLongEdge = 1280;
    EXPECT_EQ(compositor.renderSize(videoTrack(1512, 982), screen), (Size{1280, 832}));
    // Turned a quarter: the display size is portrait.
    EXPECT_EQ(compositor.renderSize(videoTrack(1920, 1080, {0, 1, -1, 0, 1080, 0}), screen),
              (Size{720, 1280}));

    RecordingProject camera;
    camera.sourceKind = RecordingSourceKind::camera;
    compositor.exportLongEdge = 1920;
    camera.aspect.main = AspectRatio::r9x16;
    EXPECT_EQ(compositor.renderSize(videoTrack(1280, 720), camera), (Size{1080, 1920}));
    camera.aspect.main = AspectRatio::r4x3;
    EXPECT_EQ(compositor.renderSize(videoTrack(1280, 720), camera), (Size{1920, 1440}));
    camera.aspect.main = AspectRatio::default_;
    EXPECT_EQ(compositor.renderSize(videoTrack(1280, 720), camera), (Size{1080, 1920}));
    camera.captureViewportSize = Size{400, 300};
    EXPECT_EQ(compositor.renderSize(videoTrack(1280, 720), camera), (Size{1920, 1440}));
    // Split screen ignores the fixed aspect.
    camera.aspect =
        AspectSettings(AspectRatio::r1x1, false, true, CameraSplitOrder::frontTop, 0.5, {});
    EXPECT_EQ(compositor.renderSize(videoTrack(1280, 720), camera), (Size{1920, 1440}));
}

TEST(ExportRules, PresetsAndTheirEncoderSettings) {
    EXPECT_EQ(VideoCompositor::exportPreset(1920, 1080), "AVAssetExportPreset1920x1080");
    EXPECT_EQ(VideoCompositor::exportPreset(3840, 2160), "AVAssetExportPreset3840x2160");
    EXPECT_EQ(VideoCompositor::exportPreset(1080, 1920), "AVAssetExportPresetHighestQuality");
    EXPECT_EQ(VideoCompositor::exportPreset(1280, 720), "AVAssetExportPresetHighestQuality");
    auto hd = encoderSettingsForPreset("AVAssetExportPreset1920x1080", 1920, 1080, 30);
    EXPECT_EQ(hd.averageBitRate, 8'294'400);
    EXPECT_EQ(hd.x264Preset, "veryfast");
    EXPECT_EQ(
        encoderSettingsForPreset("AVAssetExportPreset3840x2160", 3840, 2160, 120).averageBitRate,
        48'000'000);
    EXPECT_EQ(
        encoderSettingsForPreset("AVAssetExportPresetHighestQuality", 320, 240, 60).averageBitRate,
        2'000'000);
}

// Sources needing at most a quarter of the bit rate get the light search; unknown or busier
// sources the preset's own.
TEST(ExportRules, LightContentGetsTheLightEncoderSearch) {
    const std::string hd = "AVAssetExportPreset1920x1080";
    const auto light = encoderSettingsForPreset(hd, 1920, 1080, 30, 8'294'400 / 4);
    EXPECT_EQ(light.x264Preset, "ultrafast");
    EXPECT_EQ(light.maxBFrames, 0);
    EXPECT_EQ(light.averageBitRate, 8'294'400);  // the rate and its floor stay
    EXPECT_EQ(light.minQuantizer, 10);
    for (double busy : {0.0, 8'294'400 / 4 + 1.0, 20e6}) {
        const auto settings = encoderSettingsForPreset(hd, 1920, 1080, 30, busy);
        EXPECT_EQ(settings.x264Preset, "veryfast") << busy;
        EXPECT_EQ(settings.maxBFrames, 3) << busy;
    }
    // The odd shapes' preset judges against its own, higher rate.
    EXPECT_EQ(encoderSettingsForPreset("AVAssetExportPresetHighestQuality", 1080, 1920, 30, 3e6)
                  .x264Preset,
              "ultrafast");
    EXPECT_EQ(encoderSettingsForPreset("AVAssetExportPresetHighestQuality", 1080, 1920, 30, 4e6)
                  .x264Preset,
              "faster");

    // What the sources need: the main picture, plus the share of the camera picture shown.
    VideoCompositor::Built built;
    built.composition.tracks = {{1,
                                 media::MediaType::video,
                                 "main.mov",
                                 1,
                                 TimeRange{MediaTime::zero(), MediaTime::make(10, 1)},
                                 400'000,
                                 {1920, 1080}},
                                {2,
                                 media::MediaType::video,
                                 "camera.mov",
                                 1,
                                 TimeRange{MediaTime::zero(), MediaTime::make(10, 1)},
                                 2'000'000,
                                 {1280, 720}}};
    auto pipInstruction = std::make_shared<PiPCompositionInstruction>(
        TimeRange{MediaTime::zero(), MediaTime::make(10, 1)}, 1, 2);
    pipInstruction->canvas = {1920, 1080};
    // Windows of 384 × 216 and 640 × 360 pixels: the larger shows a quarter of the camera's.
    pipInstruction->pipKeyframes = {{0, {0.5, 0.5}, {0.2, 0.2}, 0},
                                    {5, {0.5, 0.5}, {1.0 / 3, 1.0 / 3}, 0}};
    built.videoComposition.instructions = {pipInstruction};
    EXPECT_NEAR(VideoCompositor::expectedSourceBitRate(built), 400'000 + 2'000'000 / 4.0, 1);
    pipInstruction->isSplitScreenEnabled = true;
    EXPECT_NEAR(VideoCompositor::expectedSourceBitRate(built), 2'400'000, 1);
    built.composition.tracks[1].sourceRange.reset();  // the camera movie has ended
    EXPECT_NEAR(VideoCompositor::expectedSourceBitRate(built), 400'000, 1);
    built.composition.tracks[1].sourceRange = built.composition.tracks[0].sourceRange;
    built.composition.tracks[1].sourceBitRate = 0;  // a shown source that does not tell
    EXPECT_EQ(VideoCompositor::expectedSourceBitRate(built), 0);
    built.composition.tracks[0].sourceBitRate = 0;
    pipInstruction = std::make_shared<PiPCompositionInstruction>(
        TimeRange{MediaTime::zero(), MediaTime::make(10, 1)}, 1, std::nullopt);
    built.videoComposition.instructions = {pipInstruction};
    EXPECT_EQ(VideoCompositor::expectedSourceBitRate(built), 0);
}

}  // namespace
}  // namespace zimlo::compose
