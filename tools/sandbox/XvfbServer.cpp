#include "sandbox/XvfbServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace zimlo::sandbox {

XvfbServer::XvfbServer(const std::string& screen) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        // The server must not outlive a crashed owner, and a terminal's Ctrl-C is for the owner.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(1);
        setpgid(0, 0);
        int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            dup2(devnull, STDIN_FILENO);
            dup2(devnull, STDOUT_FILENO);
            dup2(devnull, STDERR_FILENO);
        }
        // -displayfd picks a free display number and writes it to the pipe once ready.
        int writeFd = dup(fds[1]);  // without O_CLOEXEC
        std::string fdText = std::to_string(writeFd);
        execlp("Xvfb", "Xvfb", "-displayfd", fdText.c_str(), "-screen", "0", screen.c_str(),
               "-nolisten", "tcp", "-ac", "-noreset", "-br", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    pid_ = pid;

    std::string number;
    auto deadline = 20000;  // ms; a loaded machine starts Xvfb slowly
    while (deadline > 0) {
        pollfd p{fds[0], POLLIN, 0};
        int r = poll(&p, 1, 200);
        if (r < 0 && errno == EINTR) continue;
        if (r > 0) {
            char buf[32];
            ssize_t n = read(fds[0], buf, sizeof buf);
            if (n <= 0) break;  // Xvfb exited
            number.append(buf, static_cast<size_t>(n));
            if (number.find('\n') != std::string::npos) break;
        } else {
            deadline -= 200;
        }
    }
    close(fds[0]);
    while (!number.empty() && (number.back() == '\n' || number.back() == ' ')) number.pop_back();
    if (number.empty()) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        throw std::runtime_error("Xvfb did not start (is it installed?)");
    }
    displayName_ = ":" + number;
}

XvfbServer::~XvfbServer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) return;
        usleep(20000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
}

void XvfbServer::exportDisplay() const { setenv("DISPLAY", displayName_.c_str(), 1); }

}  // namespace zimlo::sandbox
