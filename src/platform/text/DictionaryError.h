#pragma once

#include <ostream>
#include <string>

namespace zimlo::text {

// Why a word-tagging dictionary did not load: what went wrong, the file it went wrong on and,
// for a malformed file, where and how.
struct DictionaryError {
    enum class Kind {
        unreadable,   // missing, or it cannot be read
        malformed,    // not in the dictionary's format; `detail` says where
        outOfMemory,  // too large to build
        unavailable,  // the cached block lacks the language; `file` is the cache
    };
    Kind kind = Kind::unreadable;
    std::string file;
    std::string detail;

    // For logs and the developer tool: "cannot read FILE", else "FILE: DETAIL".
    std::string technicalText() const {
        if (kind == Kind::unreadable) return "cannot read " + file;
        return file.empty() ? detail : file + ": " + detail;
    }
    friend bool operator==(const DictionaryError&, const DictionaryError&) = default;
};

inline std::ostream& operator<<(std::ostream& out, const DictionaryError& error) {
    return out << error.technicalText();
}

}  // namespace zimlo::text
