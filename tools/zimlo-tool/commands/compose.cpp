// export, compose, subtitle: compose a project into a movie, render one composed frame, draw a
// subtitle image, write a project's subtitle file.
#include <sys/resource.h>

#include <QImage>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "CommandRegistry.h"
#include "compose/ExportSession.h"
#include "compose/SubtitleRenderer.h"
#include "compose/VideoCompositor.h"
#include "model/DraftStore.h"
#include "model/RecordingProject.h"
#include "platform/runtime/MainQueue.h"
#include "platform/storage/AtomicFile.h"
#include "subtitles/SubtitleFiles.h"

namespace zimlo::tool {
namespace {

using compose::VideoCompositor;

RecordingProject readProject(const std::string& path) {
    return RecordingProject::fromJSON(readInputFile(path, kMaximumDocumentBytes));
}

// A finite number; "inf", "nan" and numbers beyond a double's range are refused.
double number(const std::string& text, const std::string& what) {
    size_t used = 0;
    double value = 0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || !std::isfinite(value))
        throw std::runtime_error("not a number for " + what + ": " + text);
    return value;
}

// The largest pictures and frame rate an export takes: 8K, and the fastest capture rate. Beyond
// them a single frame or the count of frames grows without use until the run is killed.
constexpr double kLargestLongEdge = 8192;
constexpr double kHighestFrameRate = 120;

// A whole number within [low, high] for `what`, or an error naming the range.
double boundedNumber(const std::string& text, const std::string& what, double low, double high) {
    const double value = number(text, what);
    if (!(value >= low && value <= high) || value != std::floor(value))
        throw std::runtime_error(what + " takes a whole number from " +
                                 std::to_string(static_cast<long long>(low)) + " to " +
                                 std::to_string(static_cast<long long>(high)) + ", not " + text);
    return value;
}

const char* kExportUsage =
    "  export PROJECT.json [--long-edge N] [--fps N] [--start S] [--end E] [--no-subtitles]\n"
    "         [--progress] [--stages]    compose the project into an MPEG-4 movie; prints its "
    "path\n"
    "                                    (--progress: the percentage done on stderr;\n"
    "                                    --stages: times decoding, then decoding and drawing,\n"
    "                                    then the whole export, and prints the figures)\n";

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

// Runs the export three times, each going one stage further, and prints what each took.
int exportStages(const VideoCompositor& compositor, const RecordingProject& project, bool subtitles,
                 double start, std::optional<double> end) {
    using compose::ExportSession;
    auto composed = compositor.buildComposition(project, subtitles, start, end);
    if (!composed.ok()) return fail(composed.error().description());
    const VideoCompositor::Built& built = *composed;
    const auto& video = built.videoComposition;
    const int fps = std::max(compositor.exportFrameRate, 1);
    const double sources = VideoCompositor::expectedSourceBitRate(built);
    const auto encoder = compose::encoderSettingsForPreset(
        VideoCompositor::exportPreset(video.renderWidth, video.renderHeight), video.renderWidth,
        video.renderHeight, fps, sources);
    std::printf(
        "encoder: x264 %s, %lld b/s, %d B-frames, quantiser floor %d (sources store %.0f b/s)\n",
        encoder.x264Preset.c_str(), static_cast<long long>(encoder.averageBitRate),
        encoder.maxBFrames, encoder.minQuantizer, sources);
    const int64_t frames =
        compose::outputFrameCount(video.instructions.front()->totalDuration, fps);
    struct Stage {
        ExportSession::Stages stages;
        const char* name;
    };
    for (const Stage& stage : {Stage{ExportSession::Stages::decode, "decode"},
                               Stage{ExportSession::Stages::compose, "decode+compose"},
                               Stage{ExportSession::Stages::all, "whole export"}}) {
        const auto url = VideoCompositor::exportPath();
        if (url.empty()) return fail("no temporary folder to write the movie in (see $TMPDIR)");
        auto session = ExportSession::create(built, url, encoder, fps, stage.stages);
        if (!session) return fail("no export session");
        const double cpu = cpuSeconds();
        const auto began = std::chrono::steady_clock::now();
        std::optional<std::string> outcome;
        session->start(
            [&outcome](ExportSession::Outcome ended) {
                std::string text = ended ? "" : ended.error();
                MainQueue::post([&outcome, text] { outcome = text; });
            },
            {});
        while (!outcome)
            mainLoop().runUntil([&] { return outcome.has_value(); }, std::chrono::seconds(1));
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        std::error_code ignored;
        std::filesystem::remove(url, ignored);
        if (!outcome->empty()) return fail(*outcome);
        std::printf("%s: %.2f s wall, %.2f s CPU, %lld frames\n", stage.name, wall,
                    cpuSeconds() - cpu, static_cast<long long>(frames));
        std::fflush(stdout);
    }
    return 0;
}

int exportCommand(const std::vector<std::string>& args) {
    if (args.empty()) return fail(std::string("usage:\n") + kExportUsage);
    auto compositor = std::make_shared<VideoCompositor>();
    compositor->exportLongEdge = 1920;
    compositor->exportFrameRate = 30;
    double start = 0;
    std::optional<double> end;
    bool subtitles = true;
    bool showProgress = false;
    bool stages = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option == "--no-subtitles") {
            subtitles = false;
            continue;
        }
        if (option == "--progress") {
            showProgress = true;
            continue;
        }
        if (option == "--stages") {
            stages = true;
            continue;
        }
        if (i + 1 >= args.size()) return fail("missing value after " + option);
        const std::string& value = args[++i];
        if (option == "--long-edge")
            compositor->exportLongEdge = boundedNumber(value, option, 2, kLargestLongEdge);
        else if (option == "--fps")
            compositor->exportFrameRate =
                static_cast<int>(boundedNumber(value, option, 1, kHighestFrameRate));
        else if (option == "--start")
            start = number(value, option);
        else if (option == "--end")
            end = number(value, option);
        else
            return fail("unknown option " + option);
    }
    // Asked for, an empty span is a mistake, not a request for the shortest movie.
    if (!std::isfinite(start) || (end && !(*end > start)))
        return fail("--end must come after --start (both in seconds)");
    if (!compose::ensureTextEngine()) return fail("no text engine for subtitles");

    const auto project = readProject(args[0]);
    if (stages) return exportStages(*compositor, project, subtitles, start, end);
    std::optional<VideoCompositor::Result> result;
    int shownPercent = -1;
    VideoCompositor::Progress progress;
    if (showProgress)
        progress = [&](double fraction) {
            const int percent = static_cast<int>(fraction * 100);
            if (percent == shownPercent) return;
            shownPercent = percent;
            std::fprintf(stderr, "%d%%\n", percent);
        };
    compositor->exportMovie(
        project, subtitles, start, end, [&](VideoCompositor::Result r) { result = std::move(r); },
        progress);
    while (!result)
        mainLoop().runUntil([&] { return result.has_value(); }, std::chrono::seconds(1));
    if (!result->ok()) return fail(result->error().description());
    std::cout << result->value().string() << "\n";
    return 0;
}

bool savePNG(const media::PixelBuffer& bgra, const std::string& path) {
    // BGRA in memory is Qt's 32-bit ARGB on a little-endian machine.
    QImage image(bgra.data(), bgra.width(), bgra.height(), bgra.stride(), QImage::Format_ARGB32);
    return image.save(QString::fromStdString(path), "PNG");
}

const char* kComposeUsage =
    "  compose frame PROJECT.json T OUT.png [--long-edge N] [--no-subtitles]\n"
    "                                    one composed frame at T seconds of the whole recording\n";

int composeCommand(const std::vector<std::string>& args) {
    if (args.size() < 4 || args[0] != "frame") return fail(std::string("usage:\n") + kComposeUsage);
    VideoCompositor compositor;
    compositor.exportLongEdge = 1920;
    bool subtitles = true;
    for (size_t i = 4; i < args.size(); ++i) {
        if (args[i] == "--no-subtitles")
            subtitles = false;
        else if (args[i] == "--long-edge" && i + 1 < args.size())
            compositor.exportLongEdge =
                boundedNumber(args[++i], "--long-edge", 2, kLargestLongEdge);
        else
            return fail("unknown option " + args[i]);
    }
    if (!compose::ensureTextEngine()) return fail("no text engine for subtitles");
    const auto project = readProject(args[1]);
    auto frame = compositor.renderFrame(project, number(args[2], "T"), subtitles);
    if (!frame.ok()) return fail(frame.error().description());
    if (!*frame || !savePNG(**frame, args[3])) return fail("cannot write " + args[3]);
    std::cout << args[3] << "\n";
    return 0;
}

const char* kSubtitleUsage =
    "  subtitle render TEXT W H OUT.png [--emphasis]\n"
    "                                    draw one subtitle for a W x H canvas (default layout)\n"
    "  subtitle export PROJECT.json --format srt|vtt [-o FILE] [--start S] [--end E]\n"
    "                                    the subtitles an export of the project shows (trimmed "
    "to\n"
    "                                    S..E), as subtitles.srt or subtitles.vtt beside the "
    "project\n"
    "                                    or as FILE; prints the file's path\n";

// The subtitles of a draft or any project document. A composed draft keeps its subtitles only
// in its movie and the files beside it, so those are read when the document has none.
int exportSubtitles(const std::vector<std::string>& args) {
    std::optional<SubtitleFileFormat> format;
    std::optional<std::filesystem::path> output;
    double start = 0;
    std::optional<double> end;
    for (size_t i = 2; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (i + 1 >= args.size()) return fail("missing value after " + option);
        const std::string& value = args[++i];
        if (option == "--format") {
            format = subtitleFileFormat(value);
            if (!format) return fail("--format takes srt or vtt, not " + value);
        } else if (option == "-o") {
            output = value;
        } else if (option == "--start") {
            start = number(value, option);
        } else if (option == "--end") {
            end = number(value, option);
        } else {
            return fail("unknown option " + option);
        }
    }
    if (!format)
        return fail(std::string("--format srt|vtt is required\nusage:\n") + kSubtitleUsage);
    const std::filesystem::path documentPath = args[1];
    RecordingProject project = readProject(documentPath.string());
    const std::filesystem::path folder = documentPath.parent_path().empty()
                                             ? std::filesystem::path(".")
                                             : documentPath.parent_path();
    // The movie's own length bounds the subtitles. A draft's document may name where its movie
    // was before the folder moved, and a relative name is relative to the document. Only a
    // regular file is read (a FIFO would stall the reader; the draft lookup offers no other kind);
    // without one the document's duration stands.
    std::error_code ignored;
    auto isRegularFile = [&](const std::filesystem::path& file) {
        return std::filesystem::is_regular_file(std::filesystem::status(file, ignored));
    };
    std::optional<std::filesystem::path> movie = localFile(project.mainVideo);
    if (movie && movie->is_relative()) movie = folder / *movie;
    if (!movie || !isRegularFile(*movie)) movie = DraftStore::findMedia(folder, "main");
    if (movie)
        project.mainVideo = *movie;
    else if (localFile(project.mainVideo))
        project.mainVideo.reset();
    if (project.subtitleTrack.empty()) {
        for (auto kind : {SubtitleFileFormat::webVTT, SubtitleFileFormat::srt}) {
            const auto beside = folder / subtitleFileName(kind);
            if (!std::filesystem::exists(beside, ignored)) continue;
            auto read = readSubtitleFile(beside, kind);
            if (!read) return fail(read.error());
            project.subtitleTrack = std::move(read).value();
            break;
        }
    }
    const auto segments = VideoCompositor::exportedSubtitles(project, start, end);
    if (segments.empty()) std::cerr << "note: the project has no subtitles in that span\n";
    std::filesystem::path file = output ? *output : folder / subtitleFileName(*format);
    // The file is replaced in one step, which would put a regular file in place of whatever the
    // name held: only a regular file (through its links) or a new name is written.
    const auto status = std::filesystem::status(file, ignored);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
        return fail("not writing " + file.string() + ": it exists and is not a regular file");
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(file, ignored))) {
        std::error_code unresolved;  // a dangling link is replaced itself
        if (auto target = std::filesystem::canonical(file, unresolved); !unresolved) file = target;
    }
    if (auto written = writeFileAtomically(file, subtitleDocument(segments, *format)); !written)
        return fail("cannot write " + file.string() + ": " + written.error().text());
    std::cout << file.string() << "\n";
    return 0;
}

int subtitleCommand(const std::vector<std::string>& args) {
    if (args.size() >= 2 && args[0] == "export") {
        try {
            return exportSubtitles(args);
        } catch (const std::exception& error) {
            return fail(error.what());
        }
    }
    if (args.size() < 5 || args[0] != "render" || (args.size() == 6 && args[5] != "--emphasis") ||
        args.size() > 6)
        return fail(std::string("usage:\n") + kSubtitleUsage);
    const bool emphasis = args.size() == 6;
    const double width = number(args[2], "W");
    const double height = number(args[3], "H");
    if (!(width >= 1) || !(height >= 1) || width > 16384 || height > 16384)
        return fail("W and H must be 1 to 16384");
    if (!compose::ensureTextEngine()) return fail("no text engine");
    compose::SubtitleRenderer renderer;
    const SubtitleLayout layout;
    auto image = renderer.subtitleImage(layout.center.x, layout.center.y, layout.maxWidth,
                                        layout.fontScale, width, height, args[1], emphasis);
    if (!image) return fail("the subtitle could not be drawn");
    if (!image->image.save(QString::fromStdString(args[4]), "PNG"))
        return fail("cannot write " + args[4]);
    const auto& m = image->metrics;
    std::printf("image %dx%d at %.2f,%.2f font %.2f lines-height %.0f key-words %zu\n",
                m.imageWidth, m.imageHeight, image->placement.x, image->placement.y, m.fontSize,
                m.textHeight, image->emphasis.size());
    return 0;
}

RegisterCommandGroup exportGroup({"export", kExportUsage, exportCommand});
RegisterCommandGroup composeGroup({"compose", kComposeUsage, composeCommand});
RegisterCommandGroup subtitleGroup({"subtitle", kSubtitleUsage, subtitleCommand});

}  // namespace
}  // namespace zimlo::tool
