#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

#include "E2ESupport.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/QtMainQueue.h"
#include "support/env/PulseServer.h"
#include "support/env/XvfbServer.h"

namespace fs = std::filesystem;

namespace zimlo::e2e {

Environment theEnvironment;

namespace {

void setVariable(const char* name, const fs::path& value) { ::setenv(name, value.c_str(), 1); }

// Private folders, so drafts, settings, caches and temporary files are the tests' own.
void isolate() {
    std::string pattern = (fs::temp_directory_path() / "zimlo-e2e-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create the test's folder");
    auto& env = theEnvironment;
    env.root = pattern;
    env.home = env.root / "home";
    env.temporary = env.root / "tmp";
    for (const char* sub : {"home", "tmp", "data", "config", "cache", "runtime"})
        fs::create_directories(env.root / sub);
    fs::permissions(env.root / "runtime", fs::perms::owner_all, fs::perm_options::replace);
    setVariable("HOME", env.home);
    setVariable("TMPDIR", env.temporary);
    setVariable("XDG_DATA_HOME", env.root / "data");
    setVariable("XDG_CONFIG_HOME", env.root / "config");
    setVariable("XDG_CACHE_HOME", env.root / "cache");
    setVariable("XDG_RUNTIME_DIR", env.root / "runtime");

    // No Mandarin model ships with the system: the user's zh-CN model folder holds the English
    // one, which the recogniser then finds first.
    const fs::path english = "/usr/share/pocketsphinx/model/en-us";
    const fs::path models = env.root / "data" / "zimlo" / "models" / "zh-CN";
    fs::create_directories(models);
    for (const char* part : {"en-us", "cmudict-en-us.dict", "en-us.lm.bin"}) {
        if (!fs::exists(english / part))
            throw std::runtime_error("missing " + (english / part).string() +
                                     " (package pocketsphinx-en-us)");
        fs::create_symlink(english / part, models / part);
    }
}
}  // namespace

const Environment& environment() { return theEnvironment; }

}  // namespace zimlo::e2e

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        listing = listing || std::strcmp(argv[i], "--gtest_list_tests") == 0;
    qputenv("XDG_CURRENT_DESKTOP", "");
    if (listing) return RUN_ALL_TESTS();  // no servers, no windows

    int result = 1;
    try {
        zimlo::e2e::isolate();
        const auto& env = zimlo::e2e::theEnvironment;
        {
            zimlo::test::XvfbServer xvfb("1920x1080x24");
            xvfb.exportDisplay();
            zimlo::e2e::theEnvironment.display = xvfb.displayName();
            qputenv("QT_QPA_PLATFORM", "xcb");
            zimlo::test::PulseServer pulse;
            zimlo::e2e::theEnvironment.pulse = &pulse;
            QApplication app(argc, argv);
            QApplication::setApplicationName("Zimlo");
            zimlo::MainQueue::install(std::make_shared<zimlo::QtMainQueue>());
            result = RUN_ALL_TESTS();
            QCoreApplication::processEvents();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        std::error_code ignored;
        fs::remove_all(env.root, ignored);
    } catch (const std::exception& error) {
        std::cerr << "end-to-end environment: " << error.what() << "\n";
        return 1;
    }
    return result;
}
