#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zimlo {

// The machine's processor time since boot, summed over every core, in the kernel's clock ticks.
struct ProcessorTimes {
    uint64_t idle = 0;   // idle, and waiting for input or output
    uint64_t total = 0;  // every state
    int cores = 0;       // processors counted in it
};

// Read from /proc/stat; none where it cannot be read.
std::optional<ProcessorTimes> readProcessorTimes();
// The same from /proc/stat's text: its aggregate "cpu" line and one "cpuN" line per core.
std::optional<ProcessorTimes> parseProcessorTimes(std::string_view stat);

// Cores left idle between two readings (0 to `cores`); none when they do not follow each other.
std::optional<double> idleCoresBetween(const ProcessorTimes& earlier, const ProcessorTimes& later);

}  // namespace zimlo
