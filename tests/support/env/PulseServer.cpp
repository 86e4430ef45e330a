#include "support/env/PulseServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/media/MonotonicClock.h"

extern char** environ;

namespace zimlo::test {
namespace {

namespace fs = std::filesystem;

bool canConnect(const std::string& socketPath) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath.c_str(), sizeof(addr.sun_path) - 1);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    ::close(fd);
    return ok;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Spawns argv with extra environment entries; stdout and stderr go to `logPath` (or stay).
pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv,
            const std::string& logPath, int stdinFd = -1) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    for (const auto& entry : extraEnv) {
        auto key = entry.substr(0, entry.find('=') + 1);
        std::erase_if(env, [&](const std::string& e) { return e.rfind(key, 0) == 0; });
        env.push_back(entry);
    }
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdinFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdinFd, 0);
    if (!logPath.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
    return pid;
}

void stopProcess(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 300; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

void writeAll(int fd, const void* data, size_t size) {
    auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error(std::string("write failed: ") + std::strerror(errno));
        bytes += n;
        size -= static_cast<size_t>(n);
    }
}

}  // namespace

PulseServer::PulseServer() {
    ::signal(SIGPIPE, SIG_IGN);
    std::string pattern = (fs::temp_directory_path() / "zimlo-pulse-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a directory for PulseAudio");
    dir_ = pattern;
    fs::create_directories(dir_ + "/home");
    fs::create_directories(dir_ + "/run");
    fs::create_directories(dir_ + "/state");
    std::string socketPath = dir_ + "/run/native";
    pipePath_ = dir_ + "/mic.pipe";
    address_ = "unix:" + socketPath;

    {
        std::ofstream script(dir_ + "/default.pa");
        script << "load-module module-null-sink sink_name=" << sinkName()
               << " rate=48000 channels=2 sink_properties=device.description=ZimloTestSink\n"
               << "load-module module-pipe-source source_name=" << microphoneName()
               << " file=" << pipePath_ << " format=s16le rate=" << kMicrophoneRate
               << " channels=" << kMicrophoneChannels << "\n"
               << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << socketPath
               << "\n"
               << "set-default-sink " << sinkName() << "\n"
               << "set-default-source " << microphoneName() << "\n";
    }
    std::string log = dir_ + "/pulseaudio.log";
    // Root on CI: a per-user daemon still runs when HOME and the runtime paths are private.
    pid_ = spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--system=false",
                  "--use-pid-file=no", "--disallow-module-loading=no", "--log-target=stderr", "-F",
                  dir_ + "/default.pa"},
                 {"HOME=" + dir_ + "/home", "PULSE_RUNTIME_PATH=" + dir_ + "/run",
                  "PULSE_STATE_PATH=" + dir_ + "/state", "XDG_RUNTIME_DIR=" + dir_ + "/run",
                  "XDG_CONFIG_HOME=" + dir_ + "/home/.config", "DISPLAY="},
                 log);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!canConnect(socketPath)) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("PulseAudio exited at start-up:\n" + readFile(log));
        }
        if (std::chrono::steady_clock::now() > deadline) {
            stopProcess(pid_);
            pid_ = -1;
            throw std::runtime_error("PulseAudio did not come up:\n" + readFile(log));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::setenv("PULSE_SERVER", address_.c_str(), 1);
}

PulseServer::~PulseServer() {
    if (pipeFd_ >= 0) ::close(pipeFd_);
    stopProcess(pid_);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

PulseServer& PulseServer::shared() {
    static PulseServer server;
    return server;
}

void PulseServer::writeMicrophone(const std::vector<int16_t>& samples) {
    if (pipeFd_ < 0) {
        // The daemon holds the pipe open, so opening it for writing does not block.
        pipeFd_ = ::open(pipePath_.c_str(), O_WRONLY | O_CLOEXEC);
        if (pipeFd_ < 0)
            throw std::runtime_error("cannot open the microphone pipe: " +
                                     std::string(std::strerror(errno)));
    }
    writeAll(pipeFd_, samples.data(), samples.size() * sizeof(int16_t));
}

std::vector<int16_t> sineTone(double seconds, double frequency, double amplitude, int rate) {
    auto count = static_cast<size_t>(std::llround(seconds * rate));
    std::vector<int16_t> samples(count);
    for (size_t i = 0; i < count; ++i)
        samples[i] = static_cast<int16_t>(
            std::lround(amplitude * 32767.0 *
                        std::sin(2.0 * M_PI * frequency * static_cast<double>(i) / rate)));
    return samples;
}

double PulseServer::speakToneInRealTime(double seconds, double toneAt) {
    auto tone = sineTone(seconds - toneAt, 440, 0.8);
    const int piece = 480;
    auto start = std::chrono::steady_clock::now();
    double toneWritten = 0;
    for (int i = 0; i * piece < static_cast<int>(seconds * 48000); ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * i));
        std::vector<int16_t> samples(piece, 0);
        int offset = i * piece - static_cast<int>(toneAt * 48000);
        if (offset >= 0) {
            std::copy(tone.begin() + offset, tone.begin() + offset + piece, samples.begin());
            if (offset == 0) toneWritten = media::MonotonicClock::nowSeconds();
        }
        writeMicrophone(samples);
    }
    return toneWritten;
}

double PulseServer::speakInRealTime(const std::vector<int16_t>& samples,
                                    const std::atomic<bool>* stop) {
    const size_t piece = 480;
    auto start = std::chrono::steady_clock::now();
    const double started = media::MonotonicClock::nowSeconds();
    for (size_t i = 0;; ++i) {
        const size_t offset = i * piece;
        if (offset >= samples.size() && (!stop || stop->load())) break;
        std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * i));
        std::vector<int16_t> chunk(piece, 0);
        if (offset < samples.size()) {
            const size_t count = std::min(piece, samples.size() - offset);
            std::copy(samples.begin() + static_cast<std::ptrdiff_t>(offset),
                      samples.begin() + static_cast<std::ptrdiff_t>(offset + count), chunk.begin());
        }
        // Like a device, never wait for a reader: while the daemon does not drain the pipe (no
        // one records from the source), the piece is dropped instead of blocking the caller.
        if (pipeFd_ < 0) writeMicrophone({});
        pollfd writable{pipeFd_, POLLOUT, 0};
        if (::poll(&writable, 1, 0) == 1 && (writable.revents & POLLOUT)) writeMicrophone(chunk);
    }
    return started;
}

std::vector<int16_t> loadSpeechClip(const std::string& wavPath) {
    auto fail = [&](const std::string& why) -> std::vector<int16_t> {
        throw std::runtime_error("cannot read " + wavPath + ": " + why);
    };
    std::ifstream in(wavPath, std::ios::binary);
    if (!in) return fail("cannot open it");
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto u16 = [&](size_t at) {
        return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at]) |
                                     static_cast<uint8_t>(bytes[at + 1]) << 8);
    };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0)
        return fail("not a WAV file");
    int channels = 0, rate = 0, bits = 0, format = 0;
    const char* data = nullptr;
    size_t dataSize = 0;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        const std::string id = bytes.substr(at, 4);
        const size_t size = u32(at + 4);
        const size_t body = at + 8;
        if (body + size > bytes.size()) return fail("truncated chunk " + id);
        if (id == "fmt " && size >= 16) {
            format = static_cast<int>(u16(body));
            channels = static_cast<int>(u16(body + 2));
            rate = static_cast<int>(u32(body + 4));
            bits = static_cast<int>(u16(body + 14));
        } else if (id == "data") {
            data = bytes.data() + body;
            dataSize = size;
        }
        at = body + size + (size & 1);
    }
    if (format != 1 || bits != 16 || channels < 1 || rate <= 0) return fail("not 16-bit PCM");
    if (!data) return fail("no sound data");
    const size_t frames = dataSize / (2 * static_cast<size_t>(channels));
    std::vector<double> mono(frames);
    for (size_t f = 0; f < frames; ++f) {
        double sum = 0;
        for (int c = 0; c < channels; ++c) {
            int16_t v;
            std::memcpy(&v, data + 2 * (f * static_cast<size_t>(channels) + static_cast<size_t>(c)),
                        2);
            sum += v;
        }
        mono[f] = sum / channels;
    }
    // Linear interpolation is plenty for speech meant for a recogniser.
    const double step = static_cast<double>(rate) / PulseServer::kMicrophoneRate;
    const auto count = static_cast<size_t>(std::floor(static_cast<double>(frames) / step));
    std::vector<int16_t> out(count);
    for (size_t i = 0; i < count; ++i) {
        const double position = static_cast<double>(i) * step;
        const auto left = static_cast<size_t>(position);
        const size_t right = std::min(left + 1, frames - 1);
        const double t = position - static_cast<double>(left);
        out[i] = static_cast<int16_t>(std::lround(mono[left] * (1 - t) + mono[right] * t));
    }
    return out;
}

}  // namespace zimlo::test
