#include "sandbox/PulseServer.h"

#include <fcntl.h>
#include <poll.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <signal.h>
#include <sys/prctl.h>
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

namespace zimlo::sandbox {
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

// Starts argv with extra environment entries, in a process group of its own and ending with
// the calling thread; stdout and stderr go to `logPath`.
pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv,
            const std::string& logPath) {
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

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(errno));
    if (pid == 0) {
        // Only async-signal-safe calls from here on: the parent may have other threads.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(1);
        ::setpgid(0, 0);
        const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (log >= 0) {
            ::dup2(log, 1);
            ::dup2(log, 2);
        }
        if (null >= 0) ::dup2(null, 0);
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
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
        script
            << "load-module module-null-sink sink_name=" << sinkName()
            << " rate=48000 channels=2 sink_properties=\"device.description='Virtual speakers'\"\n"
            << "load-module module-pipe-source source_name=" << microphoneName()
            << " file=" << pipePath_ << " format=s16le rate=" << kMicrophoneRate
            << " channels=" << kMicrophoneChannels
            << " source_properties=\"device.description='Virtual microphone'\"\n"
            << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << socketPath
            << "\n"
            << "set-default-sink " << sinkName() << "\n"
            << "set-default-source " << microphoneName() << "\n";
    }
    launch();
    ::setenv("PULSE_SERVER", address_.c_str(), 1);
}

void PulseServer::launch() {
    std::string socketPath = dir_ + "/run/native";
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
        if (int status = 0; ::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
                throw std::runtime_error("cannot start pulseaudio (is it installed?)");
            throw std::runtime_error("PulseAudio exited at start-up:\n" + readFile(log));
        }
        if (std::chrono::steady_clock::now() > deadline) {
            stopProcess(pid_);
            pid_ = -1;
            throw std::runtime_error("PulseAudio did not come up:\n" + readFile(log));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void PulseServer::kill() {
    if (pipeFd_ >= 0) ::close(pipeFd_);
    pipeFd_ = -1;
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void PulseServer::restart() {
    kill();
    launch();
}

void PulseServer::freeze() {
    if (pid_ > 0) ::kill(pid_, SIGSTOP);
}

void PulseServer::thaw() {
    if (pid_ > 0) ::kill(pid_, SIGCONT);
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

std::string PulseServer::addMicrophone(const std::string& name, const std::string& description) {
    const std::string pipe = dir_ + "/" + name + ".pipe";
    const std::string source = "source_name=" + name;
    const std::string file = "file=" + pipe;
    const std::string properties = "source_properties=\"device.description='" + description + "'\"";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execlp("pactl", "pactl", "load-module", "module-pipe-source", source.c_str(),
                 file.c_str(), "format=s16le", "rate=48000", "channels=1", properties.c_str(),
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        throw std::runtime_error("pactl could not add the microphone " + name);
    return pipe;
}

void PulseServer::speakToneInto(const std::string& pipe, double seconds) {
    const int fd = ::open(pipe.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + pipe + ": " + std::strerror(errno));
    const auto tone = sineTone(seconds, 440, 0.8);
    const size_t piece = 480;
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i * piece + piece <= tone.size(); ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * i));
        writeAll(fd, tone.data() + i * piece, piece * sizeof(int16_t));
    }
    ::close(fd);
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

namespace {

// A 48 kHz mono playback stream into the default sink whose buffer holds `bufferUs`
// microseconds: writing blocks once it is full, so writers run at the sink's pace.
pa_simple* openTonePlayback(pa_usec_t bufferUs) {
    const pa_sample_spec spec{PA_SAMPLE_S16LE, 48000, 1};
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(bufferUs, &spec));
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(-1);
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, "zimlo-sandbox", PA_STREAM_PLAYBACK, nullptr, "tone",
                                      &spec, nullptr, &attr, &error);
    if (!stream) throw std::runtime_error(std::string("cannot play: ") + pa_strerror(error));
    return stream;
}

}  // namespace

void playHeardAt(const std::function<int16_t(double heardAt)>& sampleAt,
                 const std::atomic<bool>& stop) {
    // A deep buffer: a player that waits its turn on a busy machine must not let the sink run
    // dry, which would play everything after later than it was meant to be heard.
    pa_simple* stream = openTonePlayback(200'000);
    int error = 0;
    std::vector<int16_t> piece(480);
    while (!stop.load()) {
        // The next sample written plays once everything written before it has played.
        const double heard =
            media::MonotonicClock::nowSeconds() + pa_simple_get_latency(stream, &error) / 1e6;
        for (size_t i = 0; i < piece.size(); ++i) piece[i] = sampleAt(heard + i / 48000.0);
        if (pa_simple_write(stream, piece.data(), piece.size() * 2, &error) < 0) break;
    }
    pa_simple_free(stream);
}

double playTone(double silence, double tone, double frequency) {
    pa_simple* stream = openTonePlayback(30'000);
    int error = 0;
    const int piece = 480;  // 10 ms
    auto samples = sineTone(tone, frequency, 0.8);
    double toneStart = 0;
    // Writing blocks once the 30 ms buffer is full, so the loop runs at the sink's pace.
    for (int i = 0; i < static_cast<int>(silence * 100); ++i) {
        std::vector<int16_t> quiet(piece, 0);
        pa_simple_write(stream, quiet.data(), quiet.size() * 2, &error);
    }
    for (size_t offset = 0; offset < samples.size(); offset += piece) {
        size_t count = std::min<size_t>(piece, samples.size() - offset);
        if (pa_simple_write(stream, samples.data() + offset, count * 2, &error) < 0) break;
        if (offset == 0) {
            // The last written sample plays `latency` from now; the tone began one piece earlier.
            pa_usec_t latency = pa_simple_get_latency(stream, &error);
            toneStart = media::MonotonicClock::nowSeconds() + latency / 1e6 -
                        static_cast<double>(count) / 48000.0;
        }
    }
    pa_simple_drain(stream, &error);
    pa_simple_free(stream);
    return toneStart;
}

void playToneUntilStopped(double frequency, const std::atomic<bool>& stop) {
    // A deep buffer: a busy machine must not starve the sink (latency does not matter here).
    pa_simple* stream = openTonePlayback(250'000);
    int error = 0;
    // One second of whole cycles, repeated; writing blocks once the buffer is full.
    auto second = sineTone(1.0, std::round(frequency), 0.8);
    const size_t piece = 480;
    for (size_t offset = 0; !stop.load(); offset = (offset + piece) % second.size()) {
        if (pa_simple_write(stream, second.data() + offset, piece * 2, &error) < 0) break;
    }
    pa_simple_free(stream);
}

}  // namespace zimlo::sandbox
