#include "platform/text/TaggerData.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <sstream>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "platform/log/Log.h"
#include "platform/text/WordTagger.h"

namespace zimlo::text::detail {

namespace {

using Kind = DictionaryError::Kind;

Failure<DictionaryError> unreadable(std::string file) {
    return fail(DictionaryError{Kind::unreadable, std::move(file), {}});
}
Failure<DictionaryError> malformed(std::string file, std::string detail) {
    return fail(DictionaryError{Kind::malformed, std::move(file), std::move(detail)});
}

constexpr char kMagic[8] = {'Z', 'M', 'L', 'T', 'A', 'G', '0', '1'};
constexpr uint64_t kFormatVersion = 6;

struct FileHeader {
    char magic[8];
    uint64_t signature;
    uint64_t totalSize;
    uint64_t offsets[kSectionCount];
    uint64_t sizes[kSectionCount];
};

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    std::streamoff size = in.tellg();
    if (size < 0) return false;
    out.resize(size_t(size));
    in.seekg(0);
    return bool(in.read(out.data(), size));
}

std::u32string decodeUtf8(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    int32_t i = 0, n = int32_t(text.size());
    while (i < n) {
        UChar32 c;
        U8_NEXT_OR_FFFD(reinterpret_cast<const uint8_t*>(text.data()), i, n, c);
        out.push_back(char32_t(c));
    }
    return out;
}

std::string_view stripAscii(std::string_view s) {
    auto isSpace = [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
    };
    while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string_view> splitOn(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t end = s.find(sep, start);
        if (end == std::string_view::npos) {
            parts.push_back(s.substr(start));
            return parts;
        }
        parts.push_back(s.substr(start, end - start));
        start = end + 1;
    }
}

// ---- A reader for the Python literal files of the HMM tables: dicts, tuples, strings, floats.

struct PyValue;
using PyDict = std::vector<std::pair<PyValue, PyValue>>;
using PyTuple = std::vector<PyValue>;
struct PyValue {
    std::variant<std::monostate, double, std::u32string, std::shared_ptr<PyDict>,
                 std::shared_ptr<PyTuple>>
        v;
};

// Reads until the first error, which it keeps; after it every read yields nothing and the
// loops end.
class PyLiteralReader {
  public:
    explicit PyLiteralReader(std::string_view text) : s_(text) {}

    // Reads the value assigned by "P=".
    Result<PyValue, std::string> readAssignment() {
        size_t at = s_.find("P=");
        if (at == std::string_view::npos) return fail(std::string("no table assignment"));
        pos_ = at + 2;
        PyValue result = value(0);
        if (!error_.empty()) return fail(error_);
        return result;
    }

  private:
    // The tables nest three deep; far deeper is a damaged file, not one to recurse through.
    static constexpr int kMaximumDepth = 16;

    std::string_view s_;
    size_t pos_ = 0;
    std::string error_;

    bool ok() const { return error_.empty(); }
    // Keeps the first error and stops reading.
    void stop(std::string why) {
        if (ok()) error_ = std::move(why);
        pos_ = s_.size();
    }
    void skip() {
        while (pos_ < s_.size() &&
               (s_[pos_] == ' ' || s_[pos_] == '\n' || s_[pos_] == '\r' || s_[pos_] == '\t'))
            ++pos_;
    }
    // The next character, or '\0' at an error.
    char peek() {
        skip();
        if (pos_ >= s_.size()) {
            stop("unexpected end of table");
            return '\0';
        }
        return s_[pos_];
    }
    void expect(char c) {
        if (peek() != c) return stop(std::string("expected '") + c + "' in table");
        ++pos_;
    }
    PyValue value(int depth) {
        if (depth > kMaximumDepth) {
            stop("table nested too deeply");
            return {};
        }
        char c = peek();
        if (c == '{') {
            ++pos_;
            auto dict = std::make_shared<PyDict>();
            while (ok() && peek() != '}') {
                PyValue key = value(depth + 1);
                expect(':');
                PyValue val = value(depth + 1);
                dict->emplace_back(std::move(key), std::move(val));
                if (peek() == ',') ++pos_;
            }
            ++pos_;
            return PyValue{dict};
        }
        if (c == '(') {
            ++pos_;
            auto tuple = std::make_shared<PyTuple>();
            while (ok() && peek() != ')') {
                tuple->push_back(value(depth + 1));
                if (peek() == ',') ++pos_;
            }
            ++pos_;
            return PyValue{tuple};
        }
        if (c == '\'' || c == '"') return PyValue{string()};
        if (!ok()) return {};
        return PyValue{number()};
    }
    std::u32string string() {
        char quote = s_[pos_++];
        std::string raw;
        std::u32string out;
        auto flush = [&] {
            out += decodeUtf8(raw);
            raw.clear();
        };
        while (pos_ < s_.size() && s_[pos_] != quote) {
            char c = s_[pos_++];
            if (c != '\\') {
                raw.push_back(c);
                continue;
            }
            if (pos_ >= s_.size()) break;
            char e = s_[pos_++];
            size_t digits = e == 'u' ? 4 : e == 'U' ? 8 : e == 'x' ? 2 : 0;
            if (digits) {
                flush();
                uint32_t code = 0;
                const char* first = s_.data() + pos_;
                const char* last = s_.data() + std::min(pos_ + digits, s_.size());
                auto [end, error] = std::from_chars(first, last, code, 16);
                if (error != std::errc() || end != first + digits || code > 0x10FFFF) {
                    stop("bad escape in table");
                    return out;
                }
                out.push_back(char32_t(code));
                pos_ += digits;
            } else {
                switch (e) {
                    case 'n':
                        raw.push_back('\n');
                        break;
                    case 't':
                        raw.push_back('\t');
                        break;
                    case 'r':
                        raw.push_back('\r');
                        break;
                    default:
                        raw.push_back(e);
                        break;
                }
            }
        }
        if (pos_ >= s_.size()) {
            stop("unterminated string in table");
            return out;
        }
        ++pos_;
        flush();
        return out;
    }
    double number() {
        size_t start = pos_;
        while (pos_ < s_.size() && std::strchr("+-.0123456789eE", s_[pos_]) && s_[pos_] != '\0')
            ++pos_;
        if (start == pos_) {
            stop("unexpected character in table");
            return 0;
        }
        return std::strtod(std::string(s_.substr(start, pos_ - start)).c_str(), nullptr);
    }
};

// A table's value as the type the tables use there; nothing when it is another.
const PyDict* asDict(const PyValue& v) {
    auto* d = std::get_if<std::shared_ptr<PyDict>>(&v.v);
    return d ? d->get() : nullptr;
}
const PyTuple* asTuple(const PyValue& v) {
    auto* t = std::get_if<std::shared_ptr<PyTuple>>(&v.v);
    return t ? t->get() : nullptr;
}
const std::u32string* asString(const PyValue& v) { return std::get_if<std::u32string>(&v.v); }
const double* asNumber(const PyValue& v) { return std::get_if<double>(&v.v); }
std::string narrow(const std::u32string& s) { return std::string(s.begin(), s.end()); }

// One table file of the HMM, its top level a dict.
struct Table {
    std::string file;
    PyValue value;
    const PyDict& dict() const { return *asDict(value); }
};

Result<Table, DictionaryError> readTable(const std::string& path) {
    std::string text;
    if (!readFile(path, text)) return unreadable(path);
    auto value = PyLiteralReader(text).readAssignment();
    if (!value) return malformed(path, value.error());
    if (!asDict(*value)) return malformed(path, "expected a dict in table");
    return Table{path, std::move(*value)};
}

}  // namespace

// ---- Serialisation

struct BlobBuilder {
    std::string bytes;
    uint64_t offsets[kSectionCount] = {};
    uint64_t sizes[kSectionCount] = {};

    BlobBuilder() { bytes.resize(sizeof(FileHeader)); }

    template <typename T>
    void put(SectionId id, const std::vector<T>& items) {
        put(id, items.data(), items.size() * sizeof(T));
    }
    void put(SectionId id, const void* data, size_t size) {
        while (bytes.size() % 8) bytes.push_back('\0');
        offsets[id] = bytes.size();
        sizes[id] = size;
        bytes.append(static_cast<const char*>(data), size);
    }
    std::shared_ptr<TaggerBlob> finish() {
        while (bytes.size() % 8) bytes.push_back('\0');
        FileHeader header{};
        std::memcpy(header.magic, kMagic, sizeof kMagic);
        header.totalSize = bytes.size();
        std::memcpy(header.offsets, offsets, sizeof offsets);
        std::memcpy(header.sizes, sizes, sizeof sizes);
        std::memcpy(bytes.data(), &header, sizeof header);
        auto blob = std::make_shared<TaggerBlob>();
        blob->owned_ = std::move(bytes);
        blob->attach(blob->owned_.data(), blob->owned_.size(), 0);
        return blob;
    }
};

namespace {

// ---- Chinese: jieba's dictionary and its part-of-speech HMM tables.

struct TagTable {
    std::vector<std::string> names;
    std::map<std::string, uint8_t, std::less<>> index;
    // The tag's index; nothing when all 255 are taken.
    std::optional<uint8_t> of(std::string_view tag) {
        auto found = index.find(tag);
        if (found != index.end()) return found->second;
        if (names.size() >= 255) return std::nullopt;
        names.emplace_back(tag);
        return index[std::string(tag)] = uint8_t(names.size() - 1);
    }
};

// Words as runs of one code point pool; no string per word.
struct ChineseWord {
    uint32_t offset, length, frequency, line;
    uint8_t tag;
};

struct ChineseWords {
    std::vector<char32_t> pool;
    std::vector<ChineseWord> words;  // in code point order, one per word
    double totalFrequency = 0;       // every line counts, repeated words too (as in jieba)

    std::u32string_view wordOf(const ChineseWord& w) const {
        return {pool.data() + w.offset, w.length};
    }
};

Result<ChineseWords, DictionaryError> readChineseWords(const std::string& dictionary,
                                                       TagTable& tags) {
    std::string text;
    if (!readFile(dictionary, text)) return unreadable(dictionary);
    ChineseWords read;
    std::vector<ChineseWord> entries;
    read.pool.reserve(text.size() / 2);
    entries.reserve(400000);
    uint32_t lineNumber = 0;
    for (std::string_view line : splitLines(text)) {
        ++lineNumber;
        line = stripAscii(line);
        if (line.empty()) continue;
        auto parts = splitOn(line, ' ');
        if (parts.size() < 2 || parts[0].empty())
            return malformed(dictionary, "line " + std::to_string(lineNumber) + " is malformed");
        uint32_t frequency = 0;
        std::from_chars(parts[1].data(), parts[1].data() + parts[1].size(), frequency);
        std::optional<uint8_t> tag = parts.size() >= 3 ? tags.of(parts[2]) : 0;
        if (!tag) return malformed(dictionary, "too many tags");
        ChineseWord e{uint32_t(read.pool.size()), 0, frequency, lineNumber, *tag};
        int32_t i = 0, n = int32_t(parts[0].size());
        while (i < n) {
            UChar32 c;
            U8_NEXT_OR_FFFD(reinterpret_cast<const uint8_t*>(parts[0].data()), i, n, c);
            read.pool.push_back(char32_t(c));
        }
        e.length = uint32_t(read.pool.size()) - e.offset;
        entries.push_back(e);
        read.totalFrequency += frequency;
    }
    std::sort(entries.begin(), entries.end(), [&](const ChineseWord& a, const ChineseWord& b) {
        int c = read.wordOf(a).compare(read.wordOf(b));
        return c != 0 ? c < 0 : a.line < b.line;
    });
    // A repeated word keeps its last line, as in jieba.
    read.words.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i + 1 < entries.size() && read.wordOf(entries[i]) == read.wordOf(entries[i + 1]))
            continue;
        read.words.push_back(entries[i]);
    }
    return read;
}

// The words as a trie laid out breadth first, so that each node's children are contiguous, and
// the root's children indexed by their Basic Multilingual Plane character.
void putChineseTrie(BlobBuilder& out, const ChineseWords& read) {
    const std::vector<ChineseWord>& sorted = read.words;
    auto charAt = [&](size_t index, size_t depth) {
        return read.pool[sorted[index].offset + depth];
    };
    std::vector<char32_t> keys{0};
    std::vector<ZhNode> nodes{ZhNode{}};
    struct Pending {
        uint32_t node;
        size_t lo, hi,
            depth;  // the words in [lo, hi) share the node's prefix of `depth` characters
    };
    std::vector<Pending> queue{{0, 0, sorted.size(), 0}};
    for (size_t q = 0; q < queue.size(); ++q) {
        Pending p = queue[q];
        size_t lo = p.lo;
        if (lo < p.hi && sorted[lo].length == p.depth) {
            nodes[p.node].isWord = 1;
            nodes[p.node].frequency = sorted[lo].frequency;
            nodes[p.node].tag = sorted[lo].tag;
            ++lo;
        }
        nodes[p.node].firstChild = uint32_t(nodes.size());
        while (lo < p.hi) {
            char32_t c = charAt(lo, p.depth);
            size_t hi = lo;
            while (hi < p.hi && charAt(hi, p.depth) == c) ++hi;
            keys.push_back(c);
            nodes.push_back(ZhNode{});
            queue.push_back({uint32_t(nodes.size() - 1), lo, hi, p.depth + 1});
            lo = hi;
        }
        nodes[p.node].childCount = uint32_t(nodes.size()) - nodes[p.node].firstChild;
    }
    std::vector<uint32_t> rootBmp(65536, 0);
    for (uint32_t i = nodes[0].firstChild; i < nodes[0].firstChild + nodes[0].childCount; ++i)
        if (keys[i] <= 0xFFFF) rootBmp[keys[i]] = i;
    out.put(kZhTrieKeys, keys);
    out.put(kZhTrieNodes, nodes);
    out.put(kZhRootBmp, rootBmp);
}

// The part-of-speech HMM's states, (position, tag) pairs numbered in the order Python compares
// them, as the transition table names them.
class HmmStates {
  public:
    using Key = std::pair<std::string, std::string>;

    static Result<HmmStates, DictionaryError> of(const Table& trans) {
        HmmStates states;
        for (const auto& [key, value] : trans.dict()) {
            auto state = keyOf(key);
            if (!state) return malformed(trans.file, "malformed HMM state");
            states.ids_.emplace(std::move(*state), 0);
        }
        if (states.ids_.empty() || states.ids_.size() > 1024)
            return malformed(trans.file, "unexpected HMM state count");
        uint16_t next = 0;
        for (auto& [key, id] : states.ids_) id = next++;
        return states;
    }

    size_t size() const { return ids_.size(); }
    const std::map<Key, uint16_t>& ids() const { return ids_; }

    Result<uint16_t, std::string> idOf(const PyValue& v) const {
        auto key = keyOf(v);
        if (!key) return fail(std::string("malformed HMM state"));
        auto found = ids_.find(*key);
        if (found == ids_.end()) return fail(std::string("unknown HMM state"));
        return found->second;
    }

  private:
    static std::optional<Key> keyOf(const PyValue& v) {
        const PyTuple* t = asTuple(v);
        if (!t || t->size() != 2 || !asString((*t)[0]) || !asString((*t)[1])) return std::nullopt;
        return Key(narrow(*asString((*t)[0])), narrow(*asString((*t)[1])));
    }

    std::map<Key, uint16_t> ids_;
};

// Each state's tag and position, the start probabilities, and the transitions as a dense matrix
// and as sorted successor lists.
Result<void, DictionaryError> putHmmTransitions(BlobBuilder& out, TagTable& tags,
                                                const HmmStates& states, const Table& start,
                                                const Table& trans) {
    const size_t S = states.size();
    std::vector<uint8_t> stateTag(S);
    std::vector<char> statePos(S);
    for (const auto& [key, id] : states.ids()) {
        auto tag = tags.of(key.second);
        if (!tag) return malformed(trans.file, "too many tags");
        stateTag[id] = *tag;
        statePos[id] = key.first.empty() ? '?' : key.first[0];
    }
    std::vector<double> startP(S, -std::numeric_limits<double>::infinity());
    for (const auto& [key, value] : start.dict()) {
        auto id = states.idOf(key);
        if (!id) return malformed(start.file, id.error());
        const double* p = asNumber(value);
        if (!p) return malformed(start.file, "expected a number in table");
        startP[*id] = *p;
    }
    std::vector<double> transP(S * S, -std::numeric_limits<double>::infinity());
    std::vector<uint32_t> succOffsets(S + 1);
    std::vector<std::vector<uint16_t>> succLists(S);
    for (const auto& [key, value] : trans.dict()) {
        auto from = states.idOf(key);
        if (!from) return malformed(trans.file, from.error());
        const PyDict* row = asDict(value);
        if (!row) return malformed(trans.file, "expected a dict in table");
        for (const auto& [toKey, p] : *row) {
            auto to = states.idOf(toKey);
            if (!to) return malformed(trans.file, to.error());
            if (!asNumber(p)) return malformed(trans.file, "expected a number in table");
            transP[size_t(*from) * S + *to] = *asNumber(p);
            succLists[*from].push_back(*to);
        }
    }
    std::vector<uint16_t> succ;
    for (size_t s = 0; s < S; ++s) {
        std::sort(succLists[s].begin(), succLists[s].end());
        succOffsets[s] = uint32_t(succ.size());
        succ.insert(succ.end(), succLists[s].begin(), succLists[s].end());
    }
    succOffsets[S] = uint32_t(succ.size());
    out.put(kHmmStateTag, stateTag);
    out.put(kHmmStatePos, statePos);
    out.put(kHmmStart, startP);
    out.put(kHmmTrans, transP);
    out.put(kHmmSuccOffsets, succOffsets);
    out.put(kHmmSucc, succ);
    return {};
}

// The states each single character may take, by character.
Result<void, DictionaryError> putHmmCharStates(BlobBuilder& out, const HmmStates& states,
                                               const Table& charStates) {
    std::map<char32_t, std::vector<uint16_t>> byChar;
    for (const auto& [key, value] : charStates.dict()) {
        const std::u32string* c = asString(key);
        const PyTuple* tuple = asTuple(value);
        if (!c || !tuple) return malformed(charStates.file, "expected a string and a tuple");
        if (c->size() != 1) continue;
        auto& list = byChar[(*c)[0]];
        for (const auto& state : *tuple) {
            auto id = states.idOf(state);
            if (!id) return malformed(charStates.file, id.error());
            list.push_back(*id);
        }
        std::sort(list.begin(), list.end());
        list.erase(std::unique(list.begin(), list.end()), list.end());
    }
    std::vector<uint32_t> charKeys, charOffsets;
    std::vector<uint16_t> charStateList;
    for (const auto& [c, list] : byChar) {
        charKeys.push_back(uint32_t(c));
        charOffsets.push_back(uint32_t(charStateList.size()));
        charStateList.insert(charStateList.end(), list.begin(), list.end());
    }
    charOffsets.push_back(uint32_t(charStateList.size()));
    out.put(kHmmCharKeys, charKeys);
    out.put(kHmmCharOffsets, charOffsets);
    out.put(kHmmCharStates, charStateList);
    return {};
}

// The emission probabilities, by character and then state.
Result<void, DictionaryError> putHmmEmissions(BlobBuilder& out, const HmmStates& states,
                                              const Table& emit) {
    std::map<char32_t, std::vector<std::pair<uint16_t, double>>> emitByChar;
    for (const auto& [key, value] : emit.dict()) {
        auto state = states.idOf(key);
        if (!state) return malformed(emit.file, state.error());
        const PyDict* row = asDict(value);
        if (!row) return malformed(emit.file, "expected a dict in table");
        for (const auto& [c, p] : *row) {
            const std::u32string* ch = asString(c);
            if (!ch || !asNumber(p)) return malformed(emit.file, "expected a string and a number");
            if (ch->size() == 1) emitByChar[(*ch)[0]].emplace_back(*state, *asNumber(p));
        }
    }
    std::vector<uint32_t> emitKeys, emitOffsets;
    std::vector<uint16_t> emitStates;
    std::vector<double> emitProbs;
    for (auto& [c, list] : emitByChar) {
        std::sort(list.begin(), list.end());
        emitKeys.push_back(uint32_t(c));
        emitOffsets.push_back(uint32_t(emitStates.size()));
        for (const auto& [s, p] : list) {
            emitStates.push_back(s);
            emitProbs.push_back(p);
        }
    }
    emitOffsets.push_back(uint32_t(emitStates.size()));
    out.put(kHmmEmitKeys, emitKeys);
    out.put(kHmmEmitOffsets, emitOffsets);
    out.put(kHmmEmitStates, emitStates);
    out.put(kHmmEmitProbs, emitProbs);
    return {};
}

// jieba's part-of-speech HMM from its four tables; the number of states.
Result<uint32_t, DictionaryError> putHmm(BlobBuilder& out, TagTable& tags, const std::string& dir) {
    auto start = readTable(dir + "/posseg/prob_start.py");
    if (!start) return fail(std::move(start).error());
    auto trans = readTable(dir + "/posseg/prob_trans.py");
    if (!trans) return fail(std::move(trans).error());
    auto emit = readTable(dir + "/posseg/prob_emit.py");
    if (!emit) return fail(std::move(emit).error());
    auto charStates = readTable(dir + "/posseg/char_state_tab.py");
    if (!charStates) return fail(std::move(charStates).error());

    auto states = HmmStates::of(*trans);
    if (!states) return fail(std::move(states).error());
    if (auto put = putHmmTransitions(out, tags, *states, *start, *trans); !put)
        return fail(std::move(put).error());
    if (auto put = putHmmCharStates(out, *states, *charStates); !put)
        return fail(std::move(put).error());
    if (auto put = putHmmEmissions(out, *states, *emit); !put) return fail(std::move(put).error());
    return uint32_t(states->size());
}

Result<void, DictionaryError> buildChinese(BlobBuilder& out, Scalars& scalars,
                                           const std::string& dir) {
    TagTable tags;
    tags.of("x");
    tags.of("m");
    tags.of("eng");
    auto words = readChineseWords(dir + "/dict.txt", tags);
    if (!words) return fail(std::move(words).error());
    putChineseTrie(out, *words);
    auto stateCount = putHmm(out, tags, dir);
    if (!stateCount) return fail(std::move(stateCount).error());

    std::vector<char> tagNames(tags.names.size() * 8, '\0');
    for (size_t i = 0; i < tags.names.size(); ++i)
        std::memcpy(&tagNames[i * 8], tags.names[i].data(),
                    std::min<size_t>(7, tags.names[i].size()));
    out.put(kZhTagNames, tagNames);
    scalars.zhLogTotal = std::log(words->totalFrequency);
    scalars.hmmStateCount = *stateCount;
    scalars.hasChinese = 1;
    return {};
}

// ---- English: WordNet's indexes, exception lists, sense counts and proper names.

constexpr const char* kPosNames[4] = {"noun", "verb", "adj", "adv"};

struct EnglishLemma {
    uint32_t tagCount[4] = {};
    uint16_t senses[4] = {};
    uint8_t nameType = 0;
};
using EnglishLemmas = std::map<std::string, EnglishLemma>;
// Each noun's synset offsets, in sense order.
using NounSenses = std::unordered_map<std::string, std::vector<uint32_t>>;

// The lemmas of the four index files with their sense counts, and the nouns' senses.
Result<void, DictionaryError> readEnglishIndexes(const std::string& dir, EnglishLemmas& lemmas,
                                                 NounSenses& nounOffsets) {
    for (int pos = 0; pos < 4; ++pos) {
        std::string text;
        std::string path = dir + "/index." + kPosNames[pos];
        if (!readFile(path, text)) return unreadable(path);
        for (std::string_view line : splitLines(text)) {
            if (line.empty() || line[0] == ' ') continue;  // licence header lines start with spaces
            auto fields = splitOn(stripAscii(line), ' ');
            if (fields.size() < 4) continue;
            std::string lemma(fields[0]);
            unsigned senses = unsigned(std::strtoul(std::string(fields[2]).c_str(), nullptr, 10));
            lemmas[lemma].senses[pos] = uint16_t(std::min(senses, 0xFFFFu));
            if (pos == 0) {
                // lemma pos synset_cnt p_cnt [ptr...] sense_cnt tagsense_cnt offsets...
                size_t pointerCount = std::strtoul(std::string(fields[3]).c_str(), nullptr, 10);
                size_t firstOffset = 4 + pointerCount + 2;
                auto& offsets = nounOffsets[lemma];
                for (size_t i = firstOffset; i < fields.size(); ++i)
                    if (!fields[i].empty())
                        offsets.push_back(
                            uint32_t(std::strtoul(std::string(fields[i]).c_str(), nullptr, 10)));
            }
        }
    }
    return {};
}

// Corpus counts of tagged senses: "lemma%type:file:id:head:headid sense count".
void addTaggedCounts(const std::string& dir, EnglishLemmas& lemmas) {
    std::string text;
    if (readFile(dir + "/cntlist.rev", text)) {
        for (std::string_view line : splitLines(text)) {
            auto fields = splitOn(stripAscii(line), ' ');
            if (fields.size() < 3) continue;
            size_t percent = fields[0].find('%');
            if (percent == std::string_view::npos || percent + 1 >= fields[0].size()) continue;
            int type = fields[0][percent + 1] - '0';
            int pos = type == 1                  ? 0
                      : type == 2                ? 1
                      : (type == 3 || type == 5) ? 2
                      : type == 4                ? 3
                                                 : -1;
            if (pos < 0) continue;
            auto found = lemmas.find(std::string(fields[0].substr(0, percent)));
            if (found == lemmas.end()) continue;
            found->second.tagCount[pos] +=
                uint32_t(std::strtoul(std::string(fields[2]).c_str(), nullptr, 10));
        }
    }
}

// Proper names: capitalised words of synsets in noun.group (14), noun.location (15) and
// noun.person (18). A lemma takes the type of its most frequent such sense, unless a
// common sense of those files comes first: "President" or "Court" are titles, not names.
Result<void, DictionaryError> markProperNames(const std::string& dir, EnglishLemmas& lemmas,
                                              NounSenses& nounOffsets) {
    std::string text;
    if (!readFile(dir + "/data.noun", text)) return unreadable(dir + "/data.noun");
    std::unordered_map<uint32_t, uint8_t> nameSynsets;  // offset -> NameType
    std::unordered_map<std::string, std::unordered_set<uint32_t>> properSenses, commonSenses;
    for (std::string_view line : splitLines(text)) {
        if (line.size() < 20 || line[0] == ' ') continue;
        auto fields = splitOn(line.substr(0, std::min<size_t>(line.find('|'), line.size())), ' ');
        if (fields.size() < 5) continue;
        int lexFile = std::atoi(std::string(fields[1]).c_str());
        uint8_t type = lexFile == 18   ? uint8_t(NameType::personalName)
                       : lexFile == 15 ? uint8_t(NameType::placeName)
                       : lexFile == 14 ? uint8_t(NameType::organizationName)
                                       : 0;
        if (!type) continue;
        uint32_t offset = uint32_t(std::strtoul(std::string(fields[0]).c_str(), nullptr, 10));
        nameSynsets[offset] = type;
        size_t wordCount = std::strtoul(std::string(fields[3]).c_str(), nullptr, 16);
        for (size_t i = 0; i < wordCount && 4 + 2 * i < fields.size(); ++i) {
            std::string word(fields[4 + 2 * i]);
            bool proper =
                std::any_of(word.begin(), word.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
            for (char& c : word) c = char(std::tolower(static_cast<unsigned char>(c)));
            (proper ? properSenses : commonSenses)[word].insert(offset);
        }
    }
    for (const auto& [key, proper] : properSenses) {
        auto lemma = lemmas.find(key);
        if (lemma == lemmas.end()) continue;
        const auto& common = commonSenses[key];
        for (uint32_t offset : nounOffsets[key]) {
            if (common.count(offset)) break;
            if (proper.count(offset)) {
                lemma->second.nameType = nameSynsets[offset];
                break;
            }
        }
    }
    return {};
}

// Irregular forms and their bases ("went verb go"), sorted.
std::vector<std::tuple<std::string, uint8_t, std::string>> readExceptions(const std::string& dir) {
    std::vector<std::tuple<std::string, uint8_t, std::string>> exceptions;
    for (int pos = 0; pos < 4; ++pos) {
        std::string text;
        if (!readFile(dir + "/" + kPosNames[pos] + ".exc", text)) continue;
        for (std::string_view line : splitLines(text)) {
            auto fields = splitOn(stripAscii(line), ' ');
            if (fields.size() < 2) continue;
            for (size_t i = 1; i < fields.size(); ++i)
                if (!fields[i].empty())
                    exceptions.emplace_back(std::string(fields[0]), uint8_t(pos),
                                            std::string(fields[i]));
        }
    }
    std::sort(exceptions.begin(), exceptions.end());
    return exceptions;
}

Result<void, DictionaryError> buildEnglish(BlobBuilder& out, Scalars& scalars,
                                           const std::string& dir) {
    EnglishLemmas lemmas;
    NounSenses nounOffsets;
    if (auto read = readEnglishIndexes(dir, lemmas, nounOffsets); !read)
        return fail(std::move(read).error());
    addTaggedCounts(dir, lemmas);
    if (auto marked = markProperNames(dir, lemmas, nounOffsets); !marked)
        return fail(std::move(marked).error());

    std::string pool;
    std::vector<EnLemma> lemmaEntries;
    lemmaEntries.reserve(lemmas.size());
    for (const auto& [text, lemma] : lemmas) {
        if (text.size() > 0xFFFF) continue;
        EnLemma entry{};
        entry.offset = uint32_t(pool.size());
        entry.length = uint16_t(text.size());
        entry.nameType = lemma.nameType;
        std::memcpy(entry.tagCount, lemma.tagCount, sizeof entry.tagCount);
        std::memcpy(entry.senses, lemma.senses, sizeof entry.senses);
        lemmaEntries.push_back(entry);
        pool += text;
    }

    const auto exceptions = readExceptions(dir);
    std::vector<EnException> exceptionEntries;
    for (const auto& [inflected, pos, base] : exceptions) {
        EnException e{};
        e.inflectedOffset = uint32_t(pool.size());
        e.inflectedLength = uint16_t(inflected.size());
        pool += inflected;
        e.pos = pos;
        e.baseOffset = uint32_t(pool.size());
        e.baseLength = uint32_t(base.size());
        pool += base;
        exceptionEntries.push_back(e);
    }

    out.put(kEnPool, pool.data(), pool.size());
    out.put(kEnLemmas, lemmaEntries);
    out.put(kEnExceptions, exceptionEntries);
    scalars.hasEnglish = 1;
    return {};
}

}  // namespace

namespace {

// Builds one language into a builder of its own and copies its sections over only when the whole
// language built, so that a failure leaves nothing half-done. Logs a failure.
Result<void, DictionaryError> buildLanguage(
    BlobBuilder& builder, Scalars& scalars, const char* language, const std::string& dir,
    Result<void, DictionaryError> (*buildInto)(BlobBuilder&, Scalars&, const std::string&),
    SectionId first, SectionId last) {
    BlobBuilder own;
    Result<void, DictionaryError> built;
    try {
        built = buildInto(own, scalars, dir);
    } catch (const std::bad_alloc&) {
        built = fail(DictionaryError{Kind::outOfMemory, dir, "out of memory"});
    }
    if (!built) {
        ZIMLO_LOG_WARN("text") << "loading the " << language
                               << " dictionary failed: " << built.error();
        return built;
    }
    for (uint32_t id = first; id <= last; ++id)
        builder.put(SectionId(id), own.bytes.data() + own.offsets[id], own.sizes[id]);
    return {};
}

}  // namespace

TaggerBuild TaggerBlob::build(const std::string& jiebaDir, const std::string& wordnetDir) {
    BlobBuilder builder;
    Scalars scalars;
    TaggerBuild result;
    result.chinese = buildLanguage(builder, scalars, "Chinese", jiebaDir, buildChinese, kZhTrieKeys,
                                   kHmmEmitProbs);
    if (!result.chinese) scalars.hasChinese = 0;
    result.english = buildLanguage(builder, scalars, "English", wordnetDir, buildEnglish, kEnPool,
                                   kEnExceptions);
    if (!result.english) scalars.hasEnglish = 0;
    builder.put(kScalars, &scalars, sizeof scalars);
    result.blob = builder.finish();
    return result;
}

bool TaggerBlob::attach(const char* data, size_t size, uint64_t signature) {
    if (size < sizeof(FileHeader)) return false;
    FileHeader header;
    std::memcpy(&header, data, sizeof header);
    if (std::memcmp(header.magic, kMagic, sizeof kMagic) != 0 || header.totalSize != size)
        return false;
    if (signature && header.signature != signature) return false;
    for (size_t i = 0; i < kSectionCount; ++i) {
        if (header.offsets[i] % 8 || header.offsets[i] > size ||
            header.sizes[i] > size - header.offsets[i])
            return false;
    }
    if (header.sizes[kScalars] != sizeof(Scalars)) return false;
    base_ = data;
    std::memcpy(offsets_, header.offsets, sizeof offsets_);
    std::memcpy(sizes_, header.sizes, sizeof sizes_);
    return true;
}

std::shared_ptr<TaggerBlob> TaggerBlob::mapFile(const std::string& path, uint64_t signature) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size < off_t(sizeof(FileHeader))) {
        ::close(fd);
        return nullptr;
    }
    void* mapped = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (mapped == MAP_FAILED) return nullptr;
    auto blob = std::make_shared<TaggerBlob>();
    blob->mapped_ = mapped;
    blob->mappedSize_ = size_t(st.st_size);
    if (!blob->attach(static_cast<const char*>(mapped), size_t(st.st_size), signature))
        return nullptr;
    return blob;
}

bool TaggerBlob::writeFile(const std::string& path, uint64_t signature) const {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::string temporary = path + ".tmp." + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        FileHeader header;
        std::memcpy(&header, base_, sizeof header);
        header.signature = signature;
        out.write(reinterpret_cast<const char*>(&header), sizeof header);
        out.write(base_ + sizeof header, std::streamsize(header.totalSize - sizeof header));
        if (!out.flush()) {
            std::filesystem::remove(temporary, ec);
            return false;
        }
    }
    std::filesystem::rename(temporary, path, ec);
    if (ec) std::filesystem::remove(temporary, ec);
    return !ec;
}

uint64_t TaggerBlob::sourceSignature(const std::string& jiebaDir, const std::string& wordnetDir) {
    // FNV-1a over each source's path, size and modification time.
    uint64_t hash = 1469598103934665603ull;
    auto mix = [&](const void* data, size_t size) {
        for (size_t i = 0; i < size; ++i) {
            hash ^= static_cast<const unsigned char*>(data)[i];
            hash *= 1099511628211ull;
        }
    };
    mix(&kFormatVersion, sizeof kFormatVersion);
    std::vector<std::string> files = {jiebaDir + "/dict.txt",
                                      jiebaDir + "/posseg/prob_start.py",
                                      jiebaDir + "/posseg/prob_trans.py",
                                      jiebaDir + "/posseg/prob_emit.py",
                                      jiebaDir + "/posseg/char_state_tab.py",
                                      wordnetDir + "/cntlist.rev",
                                      wordnetDir + "/data.noun"};
    for (const char* pos : kPosNames) {
        files.push_back(wordnetDir + "/index." + pos);
        files.push_back(wordnetDir + "/" + pos + ".exc");
    }
    for (const auto& file : files) {
        mix(file.data(), file.size());
        struct stat st {};
        int64_t facts[3] = {-1, -1, -1};
        if (::stat(file.c_str(), &st) == 0) {
            facts[0] = int64_t(st.st_size);
            facts[1] = int64_t(st.st_mtim.tv_sec);
            facts[2] = int64_t(st.st_mtim.tv_nsec);
        }
        mix(facts, sizeof facts);
    }
    return hash ? hash : 1;
}

TaggerBlob::~TaggerBlob() {
    if (mapped_) ::munmap(mapped_, mappedSize_);
}

}  // namespace zimlo::text::detail
