// `zimlo-tool record` end to end: a private X server and sound server, the generated camera.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

#include "capture/ScreenCaptureTargetProvider.h"
#include "platform/x11/ShareableContent.h"
#include "sandbox/PulseServer.h"
#include "sandbox/XvfbServer.h"

namespace zimlo::capture {
namespace {

namespace fs = std::filesystem;

std::string output(const std::string& command, int& status) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    status = ::pclose(pipe);
    return out;
}

std::string valueAfter(const std::string& text, const std::string& prefix) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
    return {};
}

TEST(ZimloToolRecord, WritesScreenMovieWithBothSoundTracksAndACameraMovie) {
    zimlo::sandbox::XvfbServer xvfb("640x480x24");
    xvfb.exportDisplay();
    zimlo::sandbox::PulseServer::shared();
    std::string tool = std::string(ZIMLO_BINARY_DIR) + "/tools/zimlo-tool/zimlo-tool";
    ASSERT_TRUE(fs::exists(tool)) << "build zimlo-tool first: " << tool;

    auto targets = ScreenCaptureTargetProvider::buildTargets(
        x11::queryShareableContent(xvfb.displayName().c_str()), ::getpid());
    ASSERT_FALSE(targets.empty());
    int status = -1;
    std::string printed = output(tool + " record --target " + targets.front().id +
                                     " --seconds 2 --fps 30 --generated-camera --mic 2>&1",
                                 status);
    ASSERT_EQ(status, 0) << printed;
    EXPECT_NE(printed.find("status: 实际采样：640×480 · 目标：最大（640×480） / 30fps"),
              std::string::npos)
        << printed;
    EXPECT_NE(printed.find("dropped: stream "), std::string::npos) << printed;

    std::string movie = valueAfter(printed, "screen movie: ");
    std::string cameraMovie = valueAfter(printed, "camera movie: ");
    ASSERT_TRUE(fs::exists(movie)) << printed;
    ASSERT_TRUE(fs::exists(cameraMovie)) << printed;
    EXPECT_EQ(output("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 '" + movie + "'",
                     status),
              "video\naudio\naudio\n");
    EXPECT_EQ(
        output("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 '" + cameraMovie + "'",
               status),
        "video\n");
    fs::remove(movie);
    fs::remove(cameraMovie);

    // Bad arguments are refused with the usage.
    printed = output(tool + " record --target " + targets.front().id + " --seconds 1 --fps 25 2>&1",
                     status);
    EXPECT_NE(status, 0);
    EXPECT_NE(printed.find("--fps must be 24, 30 or 60"), std::string::npos) << printed;
}

}  // namespace
}  // namespace zimlo::capture
