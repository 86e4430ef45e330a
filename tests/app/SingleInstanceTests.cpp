// One Zimlo per user: the lock and socket between starts, and the real program started twice.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QTemporaryDir>
#include <chrono>
#include <filesystem>
#include <thread>

#include "app/AppTestSupport.h"
#include "app/Application.h"
#include "app/QtTestSupport.h"
#include "app/SingleInstance.h"

extern char** environ;

namespace zimlo::app {
namespace {

using qttest::pumpUntil;

TEST(SingleInstance, ALaterStartAsksTheFirstToComeForwardAndTakesOverWhenItIsGone) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    int activations = 0;
    {
        SingleInstance first(dir.path());
        ASSERT_TRUE(first.isPrimary());
        first.onActivationRequested = [&] { ++activations; };
        SingleInstance second(dir.path());
        EXPECT_FALSE(second.isPrimary());
        // The request travels while the first one's loop runs.
        std::thread later([&] { EXPECT_TRUE(second.activatePrimary(5000)); });
        EXPECT_TRUE(pumpUntil([&] { return activations == 1; }));
        later.join();
    }
    SingleInstance third(dir.path());  // the first has quit
    EXPECT_TRUE(third.isPrimary());
}

TEST(SingleInstance, ALockLeftByAnInstanceThatDiedIsTakenOver) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const pid_t child = ::fork();
    if (child == 0) {
        // Takes the lock the way an instance does and dies holding it.
        QLockFile lock(QDir(dir.path()).filePath(QStringLiteral("zimlo-%1.lock").arg(::getuid())));
        lock.setStaleLockTime(0);
        ::_exit(lock.tryLock(0) ? 0 : 1);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    ASSERT_EQ(status, 0);
    SingleInstance next(dir.path());
    EXPECT_TRUE(next.isPrimary());
    SingleInstance after(dir.path());
    EXPECT_FALSE(after.isPrimary());  // held by a living instance: never stale, however old
}

// A window behind others or minimised comes forward when another start asks for it.
TEST(SingleInstance, ActivationBringsTheMainWindowForward) {
    ShellServices services;
    services.drafts = std::make_shared<apptest::FakeLibrary>();
    services.thumbnails = std::make_shared<apptest::FakeThumbnails>();
    Application delegate(services);
    delegate.started();
    QWidget* window = delegate.mainWindowController()->window();
    window->showMinimized();
    qttest::settle();
    delegate.activate();
    qttest::settle();
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->isMinimized());
}

// The program itself: a second start in the same session hands over to the first and exits.
TEST(SingleInstance, StartingZimloTwiceKeepsOneRunning) {
    ASSERT_TRUE(qttest::onXServer()) << "runs under the Xvfb test main";
    QTemporaryDir runtime;
    ASSERT_TRUE(runtime.isValid());
    const std::string program = std::string(ZIMLO_BINARY_DIR) + "/src/app/zimlo";
    ASSERT_TRUE(std::filesystem::exists(program)) << program;
    const std::string runtimeDir = "XDG_RUNTIME_DIR=" + runtime.path().toStdString();
    const std::string home = "HOME=" + runtime.path().toStdString();
    auto start = [&]() -> pid_t {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (!std::string(*e).starts_with("XDG_RUNTIME_DIR=") &&
                !std::string(*e).starts_with("HOME="))
                env.emplace_back(*e);
        env.push_back(runtimeDir);
        env.push_back(home);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        pid_t pid = -1;
        return ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data()) == 0 ? pid
                                                                                              : -1;
    };
    auto exited = [](pid_t pid, std::chrono::seconds within, int& status) {
        auto deadline = std::chrono::steady_clock::now() + within;
        while (std::chrono::steady_clock::now() < deadline) {
            if (::waitpid(pid, &status, WNOHANG) == pid) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    };
    const pid_t first = start();
    ASSERT_GT(first, 0);
    const QString socket =
        QDir(runtime.path()).filePath(QStringLiteral("zimlo-%1.socket").arg(::getuid()));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!QFileInfo::exists(socket) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(QFileInfo::exists(socket));

    const pid_t second = start();
    ASSERT_GT(second, 0);
    int status = -1;
    EXPECT_TRUE(exited(second, std::chrono::seconds(20), status)) << "the second start stayed";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(exited(first, std::chrono::seconds(1), status)) << "the first one quit";
    ::kill(first, SIGTERM);
    if (!exited(first, std::chrono::seconds(10), status)) {
        ::kill(first, SIGKILL);
        ::waitpid(first, &status, 0);
    }
}

}  // namespace
}  // namespace zimlo::app
