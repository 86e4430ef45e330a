#include "platform/runtime/ProcessorTimes.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <fstream>
#include <sstream>

namespace zimlo {

namespace {

// The numbers after a line's label, in the order the kernel writes them: user nice system idle
// iowait irq softirq steal guest guest_nice. Guest time is already inside user and nice.
constexpr size_t kIdle = 3, kIowait = 4, kCountedFields = 8;

std::optional<ProcessorTimes> aggregateLine(std::string_view line) {
    std::array<uint64_t, kCountedFields> fields{};
    size_t read = 0;
    size_t at = line.find(' ');
    while (at != std::string_view::npos && read < fields.size()) {
        at = line.find_first_not_of(' ', at);
        if (at == std::string_view::npos) break;
        const auto [end, error] =
            std::from_chars(line.data() + at, line.data() + line.size(), fields[read]);
        if (error != std::errc()) return std::nullopt;
        ++read;
        at = static_cast<size_t>(end - line.data());
    }
    // Kernels before 2.6.11 wrote fewer fields; the first five are enough.
    if (read <= kIowait) return std::nullopt;
    ProcessorTimes times;
    times.idle = fields[kIdle] + fields[kIowait];
    for (size_t i = 0; i < read; ++i) times.total += fields[i];
    return times;
}

}  // namespace

std::optional<ProcessorTimes> parseProcessorTimes(std::string_view stat) {
    std::optional<ProcessorTimes> times;
    int cores = 0;
    while (!stat.empty()) {
        const size_t end = stat.find('\n');
        const std::string_view line = stat.substr(0, end);
        stat = end == std::string_view::npos ? std::string_view() : stat.substr(end + 1);
        if (line.rfind("cpu ", 0) == 0)
            times = aggregateLine(line);
        else if (line.rfind("cpu", 0) == 0 && line.size() > 3 && line[3] >= '0' && line[3] <= '9')
            ++cores;
    }
    if (!times || cores == 0) return std::nullopt;
    times->cores = cores;
    return times;
}

std::optional<ProcessorTimes> readProcessorTimes() {
    std::ifstream in("/proc/stat");
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return parseProcessorTimes(text.str());
}

std::optional<double> idleCoresBetween(const ProcessorTimes& earlier, const ProcessorTimes& later) {
    // A core taken off or brought online changes the sums' meaning.
    if (later.cores != earlier.cores || later.total <= earlier.total || later.idle < earlier.idle)
        return std::nullopt;
    const double idle = static_cast<double>(later.idle - earlier.idle);
    const double total = static_cast<double>(later.total - earlier.total);
    return later.cores * std::min(1.0, idle / total);
}

}  // namespace zimlo
