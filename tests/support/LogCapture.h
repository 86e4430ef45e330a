#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log/Log.h"

namespace zimlo::test {

// The log lines written while it lives, from `threshold` on, kept in a file of its own; the
// environment's settings come back when it goes.
class LogCapture {
  public:
    explicit LogCapture(log::Level threshold = log::Level::debug) {
        static std::atomic<int> serial{0};
        file_ = std::filesystem::temp_directory_path() /
                ("zimlo-test-log-" + std::to_string(::getpid()) + "-" + std::to_string(serial++) +
                 ".log");
        log::configure(log::Settings{threshold, false, file_});
    }
    ~LogCapture() {
        log::configure(log::settingsFromEnvironment());
        std::error_code ignored;
        std::filesystem::remove(file_, ignored);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const {
        std::ifstream in(file_);
        std::vector<std::string> result;
        for (std::string line; std::getline(in, line);) result.push_back(line);
        return result;
    }
    // The lines holding `part`.
    std::vector<std::string> linesWith(std::string_view part) const {
        std::vector<std::string> result;
        for (auto& line : lines())
            if (line.find(part) != std::string::npos) result.push_back(std::move(line));
        return result;
    }

  private:
    std::filesystem::path file_;
};

}  // namespace zimlo::test
