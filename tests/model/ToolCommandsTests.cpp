#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "model/DraftStore.h"
#include "platform/media/MovieFactory.h"
#include "support/ResultValue.h"

namespace zimlo {
namespace {

namespace fs = std::filesystem;

struct Result {
    int status = -1;
    std::string output;
};

// Runs zimlo-tool through the shell; `redirect` picks which stream is captured. A run that does
// not end within a minute is killed (status 124).
Result tool(const std::string& args, const std::string& redirect = "2>/dev/null") {
    std::string command = "timeout 60 " + std::string(ZIMLO_BINARY_DIR) +
                          "/tools/zimlo-tool/zimlo-tool " + args + " " + redirect;
    Result result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, got);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

class ToolCommandsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zimlo-tool-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string write(const std::string& name, const std::string& contents) {
        fs::path path = dir / name;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << contents;
        return "'" + path.string() + "'";
    }
    fs::path dir;
};

TEST_F(ToolCommandsTest, Project) {
    std::string doc = write(
        "p.json",
        R"({"isDraft":false,"subtitleTrack":[],"pipTrack":[],"duration":2,"createdAt":1.5,)"
        R"("id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","aspect":{"isPiPEnabled":false},"mainVideoURL":"file:\/\/\/a%20b"})");
    Result decoded = tool("project decode " + doc);
    EXPECT_EQ(decoded.status, 0);
    EXPECT_EQ(
        decoded.output,
        R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","createdAt":1.5,"mainVideoURL":"file:///a%20b",)"
        R"("duration":2.0,"pipTrack":[],"splitScreenTrack":[],"subtitleTrack":[],)"
        R"("subtitleLayout":{"center":[0.5,0.82],"maxWidth":0.86,"fontScale":1.0},)"
        R"("emphasizesSubtitleKeywords":false,"isDraft":false,"aspect":{"main":"默认","isPiPEnabled":false,)"
        R"("isSplitScreenEnabled":false,"splitOrder":"frontTop","splitTopRatio":0.5,)"
        R"("pip":{"aspect":"默认","cornerRatio":0.12}},"sourceKind":"screen"})"
        "\n");
    EXPECT_EQ(tool("project needs-composition " + doc).output, "false\n");

    Result bad = tool("project decode " + write("bad.json", R"({"id":"nope"})"), "2>&1 >/dev/null");
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.output, "error: id: invalid UUID \"nope\"\n");
    EXPECT_EQ(tool("project decode " + (dir / "missing.json").string()).status, 1);
}

TEST_F(ToolCommandsTest, DraftsList) {
    DraftStore store(dir / "Drafts");
    RecordingProject older, newer;
    older.id = *Uuid::parse("00000000-0000-4000-8000-000000000001");
    older.createdAt = Date{100.25};
    newer.id = *Uuid::parse("00000000-0000-4000-8000-000000000002");
    newer.createdAt = Date{200};
    write("Drafts/" + older.id.uuidString() + "/project.json",
          zimlo::test::valueOrFailure(older.toJSON()));
    write("Drafts/" + older.id.uuidString() + "/pip.mov", "");
    write("Drafts/" + newer.id.uuidString() + "/project.json",
          zimlo::test::valueOrFailure(newer.toJSON()));
    write("Drafts/" + newer.id.uuidString() + "/main.mp4", "");
    fs::path root = dir / "Drafts";
    Result listed = tool("drafts list --root '" + root.string() + "'");
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.output, newer.id.uuidString() + "\t200.0\t" +
                                 (root / newer.id.uuidString() / "main.mp4").string() + "\t-\n" +
                                 older.id.uuidString() + "\t100.25\t-\t" +
                                 (root / older.id.uuidString() / "pip.mov").string() + "\n");
}

// Scripts list drafts over and over: the program they start loads none of the media, Qt or X
// libraries the other commands need (about 170 libraries, a tenth of a second per start), and
// still hands those commands on.
TEST_F(ToolCommandsTest, DraftListingStartsWithoutTheOtherCommandsLibraries) {
    const std::string program = std::string(ZIMLO_BINARY_DIR) + "/tools/zimlo-tool/zimlo-tool";
    std::string libraries;
    FILE* pipe = popen(("ldd '" + program + "'").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        libraries.append(buffer, got);
    ASSERT_EQ(pclose(pipe), 0);
    EXPECT_NE(libraries.find("libc.so"), std::string::npos) << libraries;
    for (const char* heavy : {"libavcodec", "libavformat", "libQt6", "libX11", "libicu"})
        EXPECT_EQ(libraries.find(heavy), std::string::npos) << heavy << " in\n" << libraries;
    EXPECT_EQ(tool("--version").output, "zimlo-tool " ZIMLO_VERSION "\n");
}

TEST_F(ToolCommandsTest, Settings) {
    EXPECT_EQ(tool("settings resolutions 2880 1800").output,
              "1280x720\t720p\n1920x1080\t1080p\n2880x1800\t最大（2880×1800）\n");
    EXPECT_EQ(tool("settings capture-size 1920 1080 2880 1800").output, "1920x1200\n");
    EXPECT_EQ(tool("settings capture-size 1920 1080 abc 1800").status, 1);
    EXPECT_EQ(tool("settings resolutions nan 1").status, 1);
}

// Files from the command line that would keep a command reading until it is killed (a FIFO no
// one writes, /dev/zero) are refused at once with the reason.
TEST_F(ToolCommandsTest, EndlessFilesAreRefusedAtOnce) {
    ASSERT_EQ(::mkfifo((dir / "fifo.json").c_str(), 0600), 0);
    const std::string fifo = "'" + (dir / "fifo.json").string() + "'";
    for (const std::string& command :
         std::vector<std::string>{"project decode " + fifo, "project decode /dev/zero",
                                  "export /dev/zero", "subtitle export /dev/zero --format srt",
                                  "text segments " + fifo, "text segments /dev/zero"}) {
        Result refused = tool(command, "2>&1 >/dev/null");
        EXPECT_EQ(refused.status, 1) << command;
        EXPECT_NE(refused.output.find("not a regular file"), std::string::npos)
            << command << ": " << refused.output;
    }
}

// Numbers that would keep a command running until it is killed (a frame or frame count too
// large, a wait that overflows the clock) are refused at once with the reason.
TEST_F(ToolCommandsTest, NumbersBeyondWhatCanBeRepresentedAreRefused) {
    // A one-second movie of a square project: enormous pictures or frame counts are refused.
    test::MovieSpec spec;
    spec.frames = 30;
    test::writeMovie(dir / "movie.mov", spec);
    RecordingProject project;
    project.id = Uuid::generate();
    project.mainVideo = dir / "movie.mov";
    project.duration = 1;
    project.aspect.main = AspectRatio::r1x1;
    const std::string document =
        write("square.json", zimlo::test::valueOrFailure(project.toJSON()));
    const std::string png = "'" + (dir / "frame.png").string() + "'";
    for (const auto& [command, reason] : std::vector<std::pair<std::string, std::string>>{
             {"export " + document + " --fps 100000", "--fps takes a whole number from 1 to 120"},
             {"export " + document + " --long-edge 1e9", "--long-edge takes a whole number"},
             {"export " + document + " --start inf", "not a number for --start"},
             {"compose frame " + document + " 0 " + png + " --long-edge 100000",
              "--long-edge takes a whole number from 2 to 8192"},
             {"record --target 1 --seconds 1e300", "--seconds must be a positive number"},
             {"record --target 1 --seconds 2 --pause 1:1e300", "--pause takes AT:FOR"},
             {"record --target 1 --seconds 2 --generated-camera --camera-flashes 5@9,5",
              "--camera-flashes takes PERIOD@FIRST"},
             {"record --target 1 --seconds 2 --camera-flashes 5@9", "needs --generated-camera"}}) {
        Result refused = tool(command, "2>&1 >/dev/null");
        EXPECT_EQ(refused.status, 1) << command;
        EXPECT_NE(refused.output.find(reason), std::string::npos)
            << command << ": " << refused.output;
    }
    EXPECT_FALSE(fs::exists(dir / "frame.png"));
    EXPECT_EQ(tool("compose frame " + document + " 0.5 " + png + " --long-edge 64").status, 0);
    EXPECT_TRUE(fs::exists(dir / "frame.png"));
}

}  // namespace
}  // namespace zimlo
