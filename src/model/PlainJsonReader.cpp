#include "model/PlainJsonReader.h"

#include <charconv>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zimlo::json_detail {

namespace {

class PlainReader {
  public:
    explicit PlainReader(std::string_view text)
        : p_(text.data()), end_(text.data() + text.size()) {}

    std::optional<Json> read() {
        Json value;
        skipSpace();
        if (!readValue(value, 0)) return std::nullopt;
        skipSpace();
        if (p_ != end_) return std::nullopt;
        return value;
    }

  private:
    // Half the general parser's limits, so that nothing it would refuse gets through here.
    static constexpr int kDepthLimit = kMaximumNesting / 2;
    static constexpr size_t kKeyLimit = kMaximumKeysPerObject / 2;
    static constexpr size_t kValueLimit = kMaximumValues / 2;

    const char* p_;
    const char* end_;
    size_t values_ = 0;

    static bool isSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
    void skipSpace() {
        while (p_ != end_ && isSpace(*p_)) ++p_;
    }
    // Whether the next character may follow a number or a literal.
    bool atDelimiter() const {
        return p_ == end_ || isSpace(*p_) || *p_ == ',' || *p_ == ']' || *p_ == '}';
    }

    bool readValue(Json& out, int depth) {
        if (p_ == end_ || ++values_ > kValueLimit) return false;
        switch (*p_) {
            case '{':
                return readObject(out, depth + 1);
            case '[':
                return readArray(out, depth + 1);
            case '"': {
                std::string text;
                if (!readString(text)) return false;
                out = Json(std::move(text));
                return true;
            }
            case 't':
                return readLiteral("true", Json(true), out);
            case 'f':
                return readLiteral("false", Json(false), out);
            case 'n':
                return readLiteral("null", Json(nullptr), out);
            default:
                return readNumber(out);
        }
    }

    bool readLiteral(std::string_view word, Json value, Json& out) {
        if (size_t(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word)
            return false;
        p_ += word.size();
        if (!atDelimiter()) return false;
        out = std::move(value);
        return true;
    }

    // Members and items being read, innermost container last: each container is built at its
    // end with its exact size, and nothing is moved (or, for keys, copied) while it grows.
    std::vector<std::pair<std::string, Json>> members_;
    std::vector<Json> items_;

    bool readObject(Json& out, int depth) {
        if (depth > kDepthLimit) return false;
        ++p_;
        const size_t first = members_.size();
        skipSpace();
        if (p_ != end_ && *p_ == '}') {
            ++p_;
            out = Json::object();
            return true;
        }
        for (;;) {
            skipSpace();
            if (p_ == end_ || *p_ != '"') return false;
            std::string key;
            if (!readString(key)) return false;
            // A repeated key is the general parser's business.
            for (size_t i = first; i < members_.size(); ++i)
                if (members_[i].first == key) return false;
            if (members_.size() - first >= kKeyLimit) return false;
            skipSpace();
            if (p_ == end_ || *p_ != ':') return false;
            ++p_;
            skipSpace();
            members_.emplace_back(std::move(key), Json());
            // By index: reading the value may grow the list.
            Json value;
            if (!readValue(value, depth)) return false;
            members_[members_.size() - 1].second = std::move(value);
            skipSpace();
            if (p_ == end_) return false;
            if (*p_ == '}') break;
            if (*p_ != ',') return false;
            ++p_;
        }
        ++p_;
        out = Json::object();
        auto& object = out.get_ref<Json::object_t&>();
        object.reserve(members_.size() - first);
        for (size_t i = first; i < members_.size(); ++i)
            object.emplace_back(std::move(members_[i].first), std::move(members_[i].second));
        members_.resize(first);
        return true;
    }

    bool readArray(Json& out, int depth) {
        if (depth > kDepthLimit) return false;
        ++p_;
        const size_t first = items_.size();
        skipSpace();
        if (p_ != end_ && *p_ == ']') {
            ++p_;
            out = Json::array();
            return true;
        }
        for (;;) {
            skipSpace();
            Json value;
            if (!readValue(value, depth)) return false;
            items_.push_back(std::move(value));
            skipSpace();
            if (p_ == end_) return false;
            if (*p_ == ']') break;
            if (*p_ != ',') return false;
            ++p_;
        }
        ++p_;
        out = Json::array();
        auto& array = out.get_ref<Json::array_t&>();
        array.reserve(items_.size() - first);
        for (size_t i = first; i < items_.size(); ++i) array.push_back(std::move(items_[i]));
        items_.resize(first);
        return true;
    }

    // Length of the well-formed UTF-8 sequence of two or more bytes at `p`, 0 when there is none
    // (the byte ranges of the Unicode standard's table 3-7, which the general parser checks too).
    static size_t sequenceLength(const unsigned char* p, const unsigned char* end) {
        auto within = [&](size_t i, unsigned char low, unsigned char high) {
            return p + i < end && p[i] >= low && p[i] <= high;
        };
        const unsigned char c = p[0];
        if (c >= 0xC2 && c <= 0xDF) return within(1, 0x80, 0xBF) ? 2 : 0;
        if (c == 0xE0) return within(1, 0xA0, 0xBF) && within(2, 0x80, 0xBF) ? 3 : 0;
        if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF)
            return within(1, 0x80, 0xBF) && within(2, 0x80, 0xBF) ? 3 : 0;
        if (c == 0xED) return within(1, 0x80, 0x9F) && within(2, 0x80, 0xBF) ? 3 : 0;
        if (c == 0xF0)
            return within(1, 0x90, 0xBF) && within(2, 0x80, 0xBF) && within(3, 0x80, 0xBF) ? 4 : 0;
        if (c >= 0xF1 && c <= 0xF3)
            return within(1, 0x80, 0xBF) && within(2, 0x80, 0xBF) && within(3, 0x80, 0xBF) ? 4 : 0;
        if (c == 0xF4)
            return within(1, 0x80, 0x8F) && within(2, 0x80, 0xBF) && within(3, 0x80, 0xBF) ? 4 : 0;
        return 0;
    }

    bool readString(std::string& out) {
        ++p_;
        const char* run = p_;
        for (;;) {
            if (p_ == end_) return false;
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                out.append(run, p_);
                ++p_;
                return true;
            }
            if (c < 0x20) return false;
            if (c == '\\') {
                out.append(run, p_);
                if (++p_ == end_) return false;
                switch (*p_) {
                    case '"':
                    case '\\':
                    case '/':
                        out += *p_;
                        break;
                    case 'b':
                        out += '\b';
                        break;
                    case 'f':
                        out += '\f';
                        break;
                    case 'n':
                        out += '\n';
                        break;
                    case 'r':
                        out += '\r';
                        break;
                    case 't':
                        out += '\t';
                        break;
                    default:  // numbered escapes (backslash, u, four digits) and anything malformed
                        return false;
                }
                run = ++p_;
                continue;
            }
            if (c < 0x80) {
                ++p_;
                continue;
            }
            const size_t length = sequenceLength(reinterpret_cast<const unsigned char*>(p_),
                                                 reinterpret_cast<const unsigned char*>(end_));
            if (length == 0) return false;
            p_ += length;
        }
    }

    // A number as the general parser types it: digits alone are an unsigned integer, with a
    // minus sign a signed one, with a fraction or an exponent (or beyond 64 bits) a double.
    bool readNumber(Json& out) {
        auto digit = [&] { return p_ != end_ && *p_ >= '0' && *p_ <= '9'; };
        const char* start = p_;
        const bool negative = *p_ == '-';
        if (negative) ++p_;
        if (!digit()) return false;
        if (*p_ == '0') {
            ++p_;
        } else {
            while (digit()) ++p_;
        }
        bool integer = true;
        if (p_ != end_ && *p_ == '.') {
            integer = false;
            ++p_;
            if (!digit()) return false;
            while (digit()) ++p_;
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            integer = false;
            ++p_;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (!digit()) return false;
            while (digit()) ++p_;
        }
        if (!atDelimiter()) return false;
        if (integer) {
            if (negative) {
                int64_t value = 0;
                auto [end, error] = std::from_chars(start, p_, value);
                if (error == std::errc() && end == p_) {
                    out = Json(value);
                    return true;
                }
            } else {
                uint64_t value = 0;
                auto [end, error] = std::from_chars(start, p_, value);
                if (error == std::errc() && end == p_) {
                    out = Json(value);
                    return true;
                }
            }
        }
        // Both round to the nearest double; out of range (or underflowing) is left to the
        // general parser.
        double value = 0;
        auto [end, error] = std::from_chars(start, p_, value);
        if (error != std::errc() || end != p_) return false;
        out = Json(value);
        return true;
    }
};

}  // namespace

std::optional<Json> readPlainJson(std::string_view text) { return PlainReader(text).read(); }

}  // namespace zimlo::json_detail
