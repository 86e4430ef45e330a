#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "compose/CompositionInstruction.h"
#include "model/DraftStore.h"
#include "platform/media/MovieFactory.h"
#include "subtitles/SubtitleFiles.h"
#include "support/ResultValue.h"

namespace zimlo {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

SubtitleSegment segment(double start, double end, std::string text) {
    return {Uuid::generate(), start, end, std::move(text)};
}

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Times to the millisecond and texts as written.
void expectSameCues(const std::vector<SubtitleSegment>& read,
                    const std::vector<SubtitleSegment>& written, const std::string& format) {
    ASSERT_EQ(read.size(), written.size()) << format;
    for (size_t i = 0; i < read.size(); ++i) {
        EXPECT_NEAR(read[i].startTime, written[i].startTime, 0.0005) << format << " cue " << i;
        EXPECT_NEAR(read[i].endTime, written[i].endTime, 0.0005) << format << " cue " << i;
        EXPECT_EQ(read[i].text, written[i].text) << format << " cue " << i;
    }
}

std::vector<SubtitleSegment> readBoth(const fs::path& dir, SubtitleFileFormat format) {
    auto read = readSubtitleFile(dir / subtitleFileName(format), format);
    EXPECT_TRUE(read.ok()) << (read.ok() ? "" : read.error());
    return read.valueOr({});
}

TEST(SubtitleFiles, RoundTripThroughFFmpegsDemuxers) {
    test::ScratchDirectory dir;
    const std::vector<SubtitleSegment> segments = {
        segment(0, 1.234, "今天天气很好"),
        segment(1.5, 2.0, "第一行\n第二行"),
        segment(2.0, 3.0005, "Hello <b>world</b> & more --> on"),
        segment(3725.25, 3727.5, "一小时以后 é"),
    };
    ASSERT_TRUE(writeSubtitleFiles(dir.path(), segments));
    for (auto format : {SubtitleFileFormat::srt, SubtitleFileFormat::webVTT})
        expectSameCues(readBoth(dir.path(), format), segments, subtitleFileName(format));

    // The forms players know: commas in SubRip, dots and escaped markup in WebVTT, UTF-8.
    const std::string srt = readText(dir / "subtitles.srt");
    EXPECT_EQ(srt.rfind("1\n00:00:00,000 --> 00:00:01,234\n今天天气很好\n\n2\n", 0), 0u);
    EXPECT_NE(srt.find("4\n01:02:05,250 --> 01:02:07,500\n一小时以后 é\n"), std::string::npos);
    const std::string vtt = readText(dir / "subtitles.vtt");
    EXPECT_EQ(vtt.rfind("WEBVTT\n\n00:00:00.000 --> 00:00:01.234\n", 0), 0u);
    EXPECT_NE(vtt.find("Hello &lt;b&gt;world&lt;/b&gt; &amp; more --&gt; on"), std::string::npos);
}

TEST(SubtitleFiles, CuesThatShowNothingAreLeftOutAndAnEmptyTrackStillReads) {
    test::ScratchDirectory dir;
    ASSERT_TRUE(writeSubtitleFiles(
        dir.path(),
        {segment(1, 1, "没有时长"), segment(2, 1.5, "倒着"), segment(3, 4, " \n\r\n "),
         segment(NAN, 5, "不是数"), segment(5, 6, "有\r\n\r\n空行"), segment(4, 4.5, "早")}));
    // Kept cues come in order of start; a blank line inside a text would end its cue.
    const std::vector<SubtitleSegment> kept = {segment(4, 4.5, "早"), segment(5, 6, "有\n空行")};
    for (auto format : {SubtitleFileFormat::srt, SubtitleFileFormat::webVTT})
        expectSameCues(readBoth(dir.path(), format), kept, subtitleFileName(format));

    ASSERT_TRUE(writeSubtitleFiles(dir.path(), {}));
    EXPECT_EQ(readText(dir / "subtitles.srt"), "");
    EXPECT_EQ(readText(dir / "subtitles.vtt"), "WEBVTT\n\n");
    for (auto format : {SubtitleFileFormat::srt, SubtitleFileFormat::webVTT})
        EXPECT_TRUE(readBoth(dir.path(), format).empty());
    auto missing = readSubtitleFile(dir / "missing.srt", SubtitleFileFormat::srt);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().rfind("cannot read " + (dir / "missing.srt").string() + ": ", 0), 0u)
        << missing.error();
    EXPECT_EQ(subtitleFileFormat("vtt"), SubtitleFileFormat::webVTT);
    EXPECT_EQ(subtitleFileFormat("ass"), std::nullopt);
}

// Where segments overlap, the movie shows at each moment the first stored segment covering it
// (one without text shows nothing); the files hold exactly that, checked against the compositor's
// own choice between the cue boundaries.
TEST(SubtitleFiles, OverlappingSegmentsGiveWhatTheMovieShows) {
    test::ScratchDirectory dir;
    const std::vector<SubtitleSegment> segments = {
        segment(0, 2, "一"),   segment(1, 3, "二"),    // the second shows from 2 on
        segment(10, 14, "长"), segment(11, 12, "里"),  // inside an earlier one: never shown
        segment(21, 22, "短"), segment(20, 25, "外"),  // around an earlier one: split by it
        segment(30, 31, ""),   segment(30, 32, "后"),  // an empty text hides what lies under it
    };
    ASSERT_TRUE(writeSubtitleFiles(dir.path(), segments));
    const std::vector<SubtitleSegment> shown = {
        segment(0, 2, "一"),   segment(2, 3, "二"),   segment(10, 14, "长"), segment(20, 21, "外"),
        segment(21, 22, "短"), segment(22, 25, "外"), segment(31, 32, "后")};
    compose::PiPCompositionInstruction movie({}, 1, std::nullopt);
    movie.subtitles = segments;
    for (auto format : {SubtitleFileFormat::srt, SubtitleFileFormat::webVTT}) {
        const auto read = readBoth(dir.path(), format);
        expectSameCues(read, shown, subtitleFileName(format));
        for (double t = 0.05; t < 35; t += 0.1) {
            std::string inFile;
            for (const auto& cue : read)
                if (cue.startTime <= t && t <= cue.endTime) inFile = cue.text;
            const auto active = compose::activeSubtitle(movie, t);
            EXPECT_EQ(inFile, active ? active->text : "")
                << subtitleFileName(format) << " at " << t;
        }
    }
}

// Cue text cannot start a cue of its own or end one: a timing line inside a text, blank lines
// and control characters come back as the text (controls dropped), never as extra cues.
TEST(SubtitleFiles, TextCannotForgeCues) {
    test::ScratchDirectory dir;
    const std::string forged = "真的\n\n99\n00:00:09,000 --> 00:00:10,000\n假的";
    ASSERT_TRUE(
        writeSubtitleFiles(dir.path(), {segment(1, 2, forged), segment(3, 4, "a-->b --> c--->d"),
                                        segment(5, 6, "响\x07铃\0零\x1b[31m红\tTab\x7f"s)}));
    const std::vector<SubtitleSegment> expected = {
        segment(1, 2, "真的\n99\n00:00:09,000 --> 00:00:10,000\n假的"),
        segment(3, 4, "a-->b --> c--->d"), segment(5, 6, "响铃零[31m红 Tab")};
    for (auto format : {SubtitleFileFormat::srt, SubtitleFileFormat::webVTT}) {
        expectSameCues(readBoth(dir.path(), format), expected, subtitleFileName(format));
        const std::string text = readText(dir.path() / subtitleFileName(format));
        for (char c : text)
            EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 && c != '\n')
                << subtitleFileName(format) << " holds control character " << int(c);
        EXPECT_EQ(text.find("\n\n\n"), std::string::npos);
    }
}

// A subtitle file is read only as a regular file of a sane size: a FIFO in its place (which no
// one writes) or a device is refused at once.
TEST(SubtitleFiles, ReadingRefusesWhatIsNotARegularFile) {
    test::ScratchDirectory dir;
    ASSERT_EQ(::mkfifo((dir / "subtitles.srt").c_str(), 0600), 0);
    auto fifo = readSubtitleFile(dir / "subtitles.srt", SubtitleFileFormat::srt);
    ASSERT_FALSE(fifo.ok());
    EXPECT_NE(fifo.error().find("not a regular file"), std::string::npos) << fifo.error();
    EXPECT_FALSE(readSubtitleFile("/dev/zero", SubtitleFileFormat::webVTT).ok());
}

struct Result {
    int status = -1;
    std::string output;
};

// A run that does not end within a minute is killed (status 124).
Result tool(const std::string& args) {
    const std::string command = "timeout 60 " + std::string(ZIMLO_BINARY_DIR) +
                                "/tools/zimlo-tool/zimlo-tool " + args + " 2>&1";
    Result result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, got);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// zimlo-tool subtitle export on a raw draft (two seconds of movie), a trimmed span, a composed
// draft whose document holds no subtitles any more, and a project without any.
TEST(SubtitleExportCommand, WritesTheSubtitlesOfAnyDraft) {
    test::ScratchDirectory dir;
    test::MovieSpec spec;
    spec.frames = 60;
    test::writeMovie(dir / "movie.mov", spec);
    DraftStore store(dir / "Drafts");
    RecordingProject project;
    project.id = Uuid::generate();
    project.mainVideo = dir / "movie.mov";
    project.duration = 9;  // the movie's own length counts
    project.subtitleTrack = {segment(0.5, 1.0, "一"), segment(1.5, 2.5, "二"),
                             segment(2.2, 3.0, "三")};
    const auto saved = store.saveDraft(project);
    ASSERT_TRUE(saved);
    const RecordingProject stored = *saved;
    const fs::path folder = store.draftDirectory(stored.id);
    const std::string document = "'" + (folder / "project.json").string() + "'";

    Result srt = tool("subtitle export " + document + " --format srt");
    ASSERT_EQ(srt.status, 0) << srt.output;
    EXPECT_EQ(srt.output, (folder / "subtitles.srt").string() + "\n");
    expectSameCues(readSubtitleFile(folder / "subtitles.srt", SubtitleFileFormat::srt).valueOr({}),
                   {segment(0.5, 1.0, "一"), segment(1.5, 2.0, "二")}, "whole movie");

    const fs::path trimmed = dir / "trimmed.vtt";
    Result cut = tool("subtitle export " + document + " --format vtt -o '" + trimmed.string() +
                      "' --start 0.8 --end 1.8");
    ASSERT_EQ(cut.status, 0) << cut.output;
    expectSameCues(readSubtitleFile(trimmed, SubtitleFileFormat::webVTT).valueOr({}),
                   {segment(0, 0.2, "一"), segment(0.7, 1.0, "二")}, "trimmed");

    // A composed draft: the document's track is empty, the files beside it hold the cues.
    RecordingProject composed = stored;
    composed.subtitleTrack.clear();
    std::ofstream(folder / "project.json") << zimlo::test::valueOrFailure(composed.toJSON());
    ASSERT_TRUE(writeSubtitleFiles(folder, {segment(0.5, 1.0, "一"), segment(1.5, 2.0, "二")}));
    fs::remove(folder / "subtitles.srt");
    Result again = tool("subtitle export " + document + " --format srt --start 1");
    ASSERT_EQ(again.status, 0) << again.output;
    expectSameCues(readSubtitleFile(folder / "subtitles.srt", SubtitleFileFormat::srt).valueOr({}),
                   {segment(0.5, 1.0, "二")}, "composed draft from its trimmed WebVTT file");

    // No subtitles anywhere: an empty file and a note; bad requests: a reason, nothing written.
    fs::remove(folder / "subtitles.vtt");
    fs::remove(folder / "subtitles.srt");
    Result empty = tool("subtitle export " + document + " --format vtt");
    EXPECT_EQ(empty.status, 0);
    EXPECT_NE(empty.output.find("no subtitles"), std::string::npos);
    EXPECT_EQ(readText(folder / "subtitles.vtt"), "WEBVTT\n\n");
    Result badFormat = tool("subtitle export " + document + " --format ass");
    EXPECT_EQ(badFormat.status, 1);
    EXPECT_NE(badFormat.output.find("--format takes srt or vtt"), std::string::npos);
    Result missing = tool("subtitle export '" + (dir / "none.json").string() + "' --format srt");
    EXPECT_EQ(missing.status, 1);
    EXPECT_FALSE(fs::exists(dir / "subtitles.srt"));
}

// What lies beside a draft or is named as the output may be anything: a FIFO movie is not read,
// and an output that exists and is not a regular file (a FIFO, a folder) is refused and left as
// it was; a link to a regular file is written through.
TEST(SubtitleExportCommand, StrangeFilesAroundTheDraftAreRefusedNotWaitedOn) {
    test::ScratchDirectory dir;
    RecordingProject project;
    project.id = Uuid::generate();
    project.duration = 4;
    project.subtitleTrack = {segment(0.5, 1.0, "一"), segment(3.5, 3.8, "三")};
    const fs::path folder = dir / "draft";
    fs::create_directories(folder);
    std::ofstream(folder / "project.json") << zimlo::test::valueOrFailure(project.toJSON());
    const std::string document = "'" + (folder / "project.json").string() + "'";
    ASSERT_EQ(::mkfifo((folder / "main.mp4").c_str(), 0600), 0);

    Result beside = tool("subtitle export " + document + " --format srt");
    ASSERT_EQ(beside.status, 0) << beside.output;
    expectSameCues(readSubtitleFile(folder / "subtitles.srt", SubtitleFileFormat::srt).valueOr({}),
                   project.subtitleTrack, "the document's duration stands");

    ASSERT_EQ(::mkfifo((dir / "out.srt").c_str(), 0600), 0);
    fs::create_directories(dir / "out.vtt");
    for (const char* target : {"out.srt", "out.vtt"}) {
        Result refused = tool("subtitle export " + document + " --format srt -o '" +
                              (dir / target).string() + "'");
        EXPECT_EQ(refused.status, 1) << refused.output;
        EXPECT_NE(refused.output.find("not a regular file"), std::string::npos) << refused.output;
    }
    EXPECT_TRUE(fs::is_fifo(dir / "out.srt"));
    EXPECT_TRUE(fs::is_directory(dir / "out.vtt"));
    std::ofstream(dir / "real.srt") << "old";
    fs::create_symlink(dir / "real.srt", dir / "link.srt");
    Result linked = tool("subtitle export " + document + " --format srt -o '" +
                         (dir / "link.srt").string() + "'");
    ASSERT_EQ(linked.status, 0) << linked.output;
    EXPECT_TRUE(fs::is_symlink(dir / "link.srt"));
    EXPECT_EQ(readText(dir / "real.srt").rfind("1\n00:00:00,500 --> ", 0), 0u);
}

}  // namespace
}  // namespace zimlo
