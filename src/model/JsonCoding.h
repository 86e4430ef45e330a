#pragma once

#include <cstddef>
#include <ostream>
#include <stdexcept>
#include <string>

namespace zimlo {

// The largest document read at all: far above anything the recorder writes (a long recording's
// document is well under a megabyte), so readers of files stop there too.
inline constexpr size_t kMaximumDocumentBytes = size_t{16} << 20;

// A document or record that cannot be decoded. `keyPath()` names the offending key, for example
// "aspect.pip.cornerRatio" or "pipTrack[2].center" (empty when the text is not JSON at all);
// what() reads "<keyPath>: <problem>".
class DecodingError : public std::runtime_error {
  public:
    DecodingError(std::string keyPath, const std::string& problem);
    const std::string& keyPath() const { return keyPath_; }

  private:
    std::string keyPath_;
};

// A value that cannot be written as JSON: a number that is not finite, or a text that is not
// UTF-8. `keyPath` names it as DecodingError does ("pipTrack[1].center[0]").
struct EncodingError {
    std::string keyPath;
    std::string problem;

    // "<keyPath>: <problem>", or the problem alone.
    std::string text() const { return keyPath.empty() ? problem : keyPath + ": " + problem; }

    friend bool operator==(const EncodingError&, const EncodingError&) = default;
};

inline std::ostream& operator<<(std::ostream& out, const EncodingError& error) {
    return out << error.text();
}

}  // namespace zimlo
