#pragma once

// What ffprobe says about a movie, as "streams.stream.N.key" / "format.key" → value.

#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "platform/media/SyntheticMedia.h"

namespace zimlo::test {

class Probe {
  public:
    explicit Probe(const std::filesystem::path& file) {
        std::string output = commandOutput(
            "ffprobe -v error -count_packets -show_entries "
            "stream=codec_type,codec_name,profile,pix_fmt,sample_rate,channels,width,height,start_"
            "time,duration,"
            "nb_read_packets,bit_rate:stream_side_data=rotation:format=duration,format_name -of "
            "flat '" +
            file.string() + "' 2>&1");
        std::istringstream lines(output);
        std::string line;
        while (std::getline(lines, line)) {
            auto equals = line.find('=');
            if (equals == std::string::npos) continue;
            std::string value = line.substr(equals + 1);
            if (value.size() >= 2 && value.front() == '"')
                value = value.substr(1, value.size() - 2);
            values_[line.substr(0, equals)] = value;
        }
        raw_ = output;
    }

    std::string stream(int index, const std::string& key) const {
        return get("streams.stream." + std::to_string(index) + "." + key);
    }
    double streamNumber(int index, const std::string& key) const {
        return number(stream(index, key));
    }
    std::string format(const std::string& key) const { return get("format." + key); }
    double formatNumber(const std::string& key) const { return number(format(key)); }
    int streamCount() const {
        int count = 0;
        while (!stream(count, "codec_type").empty()) ++count;
        return count;
    }
    const std::string& raw() const { return raw_; }

  private:
    std::string get(const std::string& key) const {
        auto found = values_.find(key);
        return found == values_.end() ? std::string() : found->second;
    }
    static double number(const std::string& text) {
        try {
            return std::stod(text);
        } catch (...) {
            return -1;
        }
    }
    std::map<std::string, std::string> values_;
    std::string raw_;
};

}  // namespace zimlo::test
