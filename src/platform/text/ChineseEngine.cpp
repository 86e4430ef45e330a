#include <unicode/uchar.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/text/TaggerEngines.h"

namespace zimlo::text::detail {

namespace {

constexpr double kMinFloat = -3.14e100;  // jieba's "impossible" log probability
constexpr double kMinusInfinity = -std::numeric_limits<double>::infinity();

bool isHan(char32_t c) { return c >= 0x4E00 && c <= 0x9FD5; }
bool isAsciiAlnum(char32_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}
bool isNumChar(char32_t c) { return c == '.' || (c >= '0' && c <= '9'); }
// Characters jieba cuts with the dictionary; everything else stands alone.
bool isBlockChar(char32_t c) {
    return isHan(c) || isAsciiAlnum(c) || c == '+' || c == '#' || c == '&' || c == '.' || c == '_';
}

struct TagInfo {
    LexicalClass lexicalClass;
    NameType nameType;
};

TagInfo infoForTag(std::string_view tag) {
    auto is = [&](std::initializer_list<std::string_view> names) {
        return std::find(names.begin(), names.end(), tag) != names.end();
    };
    NameType name = is({"nr", "nrt", "nrfg"}) ? NameType::personalName
                    : tag == "ns"             ? NameType::placeName
                    : tag == "nt"             ? NameType::organizationName
                                              : NameType::none;
    if (tag.empty()) return {LexicalClass::none, name};
    // Place (s), time (t) words and abbreviations (j) behave as nouns; vn and an are nominal uses.
    if (tag[0] == 'n' || is({"vn", "an", "s", "t", "tg", "j"})) return {LexicalClass::noun, name};
    if (tag[0] == 'v') return {LexicalClass::verb, name};
    // Distinguishing (b) and state (z) words are adjectival.
    if (tag[0] == 'a' || is({"b", "z"})) return {LexicalClass::adjective, name};
    if (is({"m", "mq", "mg"})) return {LexicalClass::number, name};
    if (is({"i", "l"})) return {LexicalClass::idiom, name};
    if (is({"x", "eng"})) return {LexicalClass::otherWord, name};
    if (tag[0] == 'd') return {LexicalClass::adverb, name};
    if (tag[0] == 'r') return {LexicalClass::pronoun, name};
    if (tag[0] == 'p') return {LexicalClass::preposition, name};
    if (tag[0] == 'c') return {LexicalClass::conjunction, name};
    if (tag[0] == 'u' || tag == "y") return {LexicalClass::particle, name};
    if (tag == "e" || tag == "o") return {LexicalClass::interjection, name};
    if (tag[0] == 'q') return {LexicalClass::classifier, name};
    return {LexicalClass::none, name};
}

bool isSkippable(char32_t c) {
    if ((c >= 0x09 && c <= 0x0D) || c == 0x85) return true;
    uint32_t mask = U_GET_GC_MASK(UChar32(c));
    return (mask & (U_GC_Z_MASK | U_GC_P_MASK)) != 0;
}

}  // namespace

ChineseEngine::ChineseEngine(std::shared_ptr<const TaggerBlob> blob) : blob_(std::move(blob)) {
    const TaggerBlob& b = *blob_;
    keys_ = b.section<char32_t>(kZhTrieKeys);
    nodes_ = b.section<ZhNode>(kZhTrieNodes);
    rootBmp_ = b.section<uint32_t>(kZhRootBmp);
    tagNames_ = b.section<char>(kZhTagNames);
    stateTag_ = b.section<uint8_t>(kHmmStateTag);
    statePos_ = b.section<char>(kHmmStatePos);
    start_ = b.section<double>(kHmmStart);
    trans_ = b.section<double>(kHmmTrans);
    succOffsets_ = b.section<uint32_t>(kHmmSuccOffsets);
    succ_ = b.section<uint16_t>(kHmmSucc);
    charKeys_ = b.section<uint32_t>(kHmmCharKeys);
    charOffsets_ = b.section<uint32_t>(kHmmCharOffsets);
    charStates_ = b.section<uint16_t>(kHmmCharStates);
    emitKeys_ = b.section<uint32_t>(kHmmEmitKeys);
    emitOffsets_ = b.section<uint32_t>(kHmmEmitOffsets);
    emitStates_ = b.section<uint16_t>(kHmmEmitStates);
    emitProbs_ = b.section<double>(kHmmEmitProbs);
    logTotal_ = b.scalars().zhLogTotal;
    stateCount_ = b.scalars().hmmStateCount;
    // Predecessors of each state, in increasing order, with the transition's log probability.
    predOffsets_.assign(stateCount_ + 1, 0);
    std::vector<std::vector<std::pair<uint16_t, double>>> preds(stateCount_);
    for (size_t from = 0; from < stateCount_; ++from)
        for (uint32_t e = succOffsets_[from]; e < succOffsets_[from + 1]; ++e)
            preds[succ_[e]].emplace_back(uint16_t(from), trans_[from * stateCount_ + succ_[e]]);
    for (size_t y = 0; y < stateCount_; ++y) {
        predOffsets_[y] = uint32_t(predStates_.size());
        for (const auto& [from, p] : preds[y]) {
            predStates_.push_back(from);
            predProbs_.push_back(p);
        }
    }
    predOffsets_[stateCount_] = uint32_t(predStates_.size());
    transitionsInto_.resize(stateCount_ * stateCount_);
    for (size_t from = 0; from < stateCount_; ++from)
        for (size_t to = 0; to < stateCount_; ++to)
            transitionsInto_[to * stateCount_ + from] = trans_[from * stateCount_ + to];
    stateWords_ = (stateCount_ + 63) / 64;
    successorBits_.assign(stateCount_ * stateWords_, 0);
    for (size_t from = 0; from < stateCount_; ++from)
        for (uint32_t e = succOffsets_[from]; e < succOffsets_[from + 1]; ++e)
            successorBits_[from * stateWords_ + succ_[e] / 64] |= uint64_t(1) << (succ_[e] % 64);
    for (size_t i = 0; i * 8 < tagNames_.size(); ++i) {
        TagInfo info = infoForTag(tagName(uint8_t(i)));
        tagInfo_.emplace_back(info.lexicalClass, info.nameType);
    }
    tagX_ = tagIndex("x");
    tagM_ = tagIndex("m");
    tagEng_ = tagIndex("eng");
}

std::string_view ChineseEngine::tagName(uint8_t tag) const {
    if (size_t(tag) * 8 + 8 > tagNames_.size()) return "x";
    const char* name = &tagNames_[size_t(tag) * 8];
    return std::string_view(name, ::strnlen(name, 8));
}

uint8_t ChineseEngine::tagIndex(std::string_view name) const {
    for (size_t i = 0; i * 8 < tagNames_.size(); ++i)
        if (tagName(uint8_t(i)) == name) return uint8_t(i);
    return 0;
}

uint32_t ChineseEngine::child(uint32_t node, char32_t c) const {
    if (node == 0 && c <= 0xFFFF) return rootBmp_[c];
    const ZhNode& n = nodes_[node];
    const char32_t* from = keys_.begin() + n.firstChild;
    const char32_t* to = from + n.childCount;
    const char32_t* found = std::lower_bound(from, to, c);
    return found != to && *found == c ? uint32_t(found - keys_.begin()) : 0;
}

// Exact dictionary look-up.
const ZhNode* ChineseEngine::findWord(const char32_t* word, size_t length) const {
    uint32_t node = 0;
    for (size_t i = 0; i < length; ++i) {
        node = child(node, word[i]);
        if (!node) return nullptr;
    }
    return length && nodes_[node].isWord ? &nodes_[node] : nullptr;
}

uint32_t ChineseEngine::frequency(const char32_t* word, size_t length) const {
    const ZhNode* found = findWord(word, length);
    return found ? found->frequency : 0;
}

uint8_t ChineseEngine::wordTag(const char32_t* word, size_t length) const {
    const ZhNode* found = findWord(word, length);
    return found ? found->tag : tagX_;
}

std::pair<Span<uint16_t>, const double*> ChineseEngine::emissions(char32_t c) const {
    const uint32_t* key = std::lower_bound(emitKeys_.begin(), emitKeys_.end(), uint32_t(c));
    if (key == emitKeys_.end() || *key != uint32_t(c)) return {{}, nullptr};
    size_t k = size_t(key - emitKeys_.begin());
    return {{emitStates_.begin() + emitOffsets_[k], emitOffsets_[k + 1] - emitOffsets_[k]},
            emitProbs_.begin() + emitOffsets_[k]};
}

std::vector<ChineseEngine::Piece> ChineseEngine::cut(const std::u32string& text) const {
    std::vector<Piece> out;
    out.reserve(text.size());  // at most one piece per character
    size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        if (isBlockChar(text[i])) {
            size_t j = i;
            while (j < n && isBlockChar(text[j])) ++j;
            cutBlock(text, i, j, out);
            i = j;
        } else {
            size_t j = i + 1;
            if (text[i] == U'\r' && j < n && text[j] == U'\n') ++j;
            out.push_back({i, j, tagX_});
            i = j;
        }
    }
    return out;
}

// Dictionary cut of one block: DAG of dictionary words, most probable route, and runs of
// single characters handed to the HMM when they do not form a known word.
void ChineseEngine::cutBlock(const std::u32string& text, size_t begin, size_t end,
                             std::vector<Piece>& out) const {
    const size_t N = end - begin;
    const char32_t* s = text.data() + begin;
    struct Edge {
        uint32_t end;
        uint32_t frequency;
        uint32_t node;  // the word's trie node, 0 for a lone unknown character
    };
    struct Step {
        double logProbability;
        uint32_t end;
        uint32_t node;
    };
    thread_local std::vector<Edge> edges;
    thread_local std::vector<uint32_t> edgeStart;
    thread_local std::vector<Step> route;
    edges.clear();
    edgeStart.assign(N + 1, 0);
    for (size_t k = 0; k < N; ++k) {
        edgeStart[k] = uint32_t(edges.size());
        // Follow the trie while s[k..i] is the prefix of some word.
        uint32_t node = 0;
        for (size_t i = k; i < N; ++i) {
            node = child(node, s[i]);
            if (!node) break;
            if (nodes_[node].isWord && nodes_[node].frequency > 0)
                edges.push_back({uint32_t(i), nodes_[node].frequency, node});
        }
        if (edges.size() == edgeStart[k]) edges.push_back({uint32_t(k), 0, 0});
    }
    edgeStart[N] = uint32_t(edges.size());

    // Most probable route from the end backwards; ties go to the longer word.
    route.assign(N + 1, {0.0, 0, 0});
    for (size_t idx = N; idx-- > 0;) {
        Step best{kMinusInfinity, 0, 0};
        bool any = false;
        for (uint32_t e = edgeStart[idx]; e < edgeStart[idx + 1]; ++e) {
            uint32_t x = edges[e].end;
            double p = std::log(double(edges[e].frequency ? edges[e].frequency : 1)) - logTotal_ +
                       route[x + 1].logProbability;
            if (!any || p > best.logProbability || (p == best.logProbability && x > best.end))
                best = {p, x, edges[e].node};
            any = true;
        }
        route[idx] = best;
    }

    size_t bufStart = 0, bufEnd = 0;  // pending single characters
    auto flush = [&] {
        size_t length = bufEnd - bufStart;
        if (length == 0) return;
        if (length == 1) {
            out.push_back({begin + bufStart, begin + bufEnd, wordTag(s + bufStart, 1)});
        } else {
            if (!frequency(s + bufStart, length)) {
                cutDetail(text, begin + bufStart, begin + bufEnd, out);
            } else {
                for (size_t c = bufStart; c < bufEnd; ++c)
                    out.push_back({begin + c, begin + c + 1, wordTag(s + c, 1)});
            }
        }
        bufStart = bufEnd = 0;
    };
    size_t x = 0;
    while (x < N) {
        size_t y = route[x].end + 1;
        if (y - x == 1) {
            if (bufEnd == bufStart) bufStart = x;
            bufEnd = y;
        } else {
            flush();
            out.push_back({begin + x, begin + y, nodes_[route[x].node].tag});
        }
        x = y;
    }
    flush();
}

// An unknown run: Han stretches go to the HMM, digits and Latin letters are numbers and
// English words, anything else is one piece of its own.
void ChineseEngine::cutDetail(const std::u32string& text, size_t begin, size_t end,
                              std::vector<Piece>& out) const {
    size_t i = begin;
    while (i < end) {
        if (isHan(text[i])) {
            size_t j = i;
            while (j < end && isHan(text[j])) ++j;
            cutHmm(text, i, j, out);
            i = j;
            continue;
        }
        size_t j = i;
        if (isNumChar(text[i])) {
            while (j < end && isNumChar(text[j])) ++j;
            out.push_back({i, j, tagM_});
        } else if (isAsciiAlnum(text[i])) {
            while (j < end && isAsciiAlnum(text[j])) ++j;
            out.push_back({i, j, tagEng_});
        } else {
            while (j < end && !isHan(text[j]) && !isAsciiAlnum(text[j]) && !isNumChar(text[j])) ++j;
            out.push_back({i, j, tagX_});
        }
        i = j;
    }
}

namespace {

bool hasBit(const std::vector<uint64_t>& bits, size_t y) { return (bits[y / 64] >> (y % 64)) & 1; }

// Keeps `from` when its score `p` is at least the best so far: ties go to the larger state, as
// in Python's max, since states are offered in ascending order.
void keepBest(double p, uint16_t from, double& best, int32_t& bestFrom) {
    if (bestFrom < 0 || p >= best) {
        best = p;
        bestFrom = from;
    }
}

// The emission of state y for a character (`emit` as emissions() gives it), jieba's floor when
// it has none.
double emissionOf(const std::pair<Span<uint16_t>, const double*>& emit, uint16_t y) {
    const uint16_t* found = std::lower_bound(emit.first.begin(), emit.first.end(), y);
    return found != emit.first.end() && *found == y ? emit.second[found - emit.first.begin()]
                                                    : kMinFloat;
}

}  // namespace

// What the Viterbi pass works in, kept per thread so that tagging a text allocates nothing.
// Only the entries of each step's present states are ever read: nothing needs clearing.
struct ChineseEngine::ViterbiScratch {
    std::vector<double> V;      // score of (step, state)
    std::vector<int32_t> path;  // the state each (step, state) came from; -1: a fresh start
    std::vector<std::vector<uint16_t>> present;  // the states kept at each step
    std::vector<uint16_t> prev, candidates;
    // The previous step's states that have successors, and the states they reach.
    std::vector<uint64_t> inPrev, reached;
    std::vector<int32_t> states;  // the best path, a state per step
};

bool ChineseEngine::allowedStates(char32_t c, std::vector<uint16_t>& into) const {
    into.clear();
    const uint32_t* key = std::lower_bound(charKeys_.begin(), charKeys_.end(), uint32_t(c));
    if (key == charKeys_.end() || *key != uint32_t(c)) return false;
    size_t k = size_t(key - charKeys_.begin());
    into.assign(&charStates_[0] + charOffsets_[k], &charStates_[0] + charOffsets_[k + 1]);
    return true;
}

// The states step t keeps: those its character allows that the previous step can reach; when
// there are none, every reachable state, and when nothing is reachable, every state (the order
// of a step's states plays no part).
void ChineseEngine::keepReachableStates(char32_t c, ViterbiScratch& s, size_t t) const {
    const size_t S = stateCount_, W = stateWords_;
    s.prev.clear();
    s.inPrev.assign(W, 0);
    s.reached.assign(W, 0);
    for (uint16_t x : s.present[t - 1]) {
        if (succOffsets_[x] == succOffsets_[x + 1]) continue;
        s.prev.push_back(x);
        s.inPrev[x / 64] |= uint64_t(1) << (x % 64);
        const uint64_t* successors = &successorBits_[x * W];
        for (size_t w = 0; w < W; ++w) s.reached[w] |= successors[w];
    }
    std::vector<uint16_t>& now = s.present[t];
    now.clear();
    if (allowedStates(c, s.candidates)) {
        for (uint16_t y : s.candidates)
            if (hasBit(s.reached, y)) now.push_back(y);
        if (!now.empty()) return;
    }
    for (size_t y = 0; y < S; ++y)
        if (hasBit(s.reached, y)) now.push_back(uint16_t(y));
    if (!now.empty()) return;
    now.resize(S);
    for (size_t y = 0; y < S; ++y) now[y] = uint16_t(y);
}

// Scores each state step t keeps by its best predecessor among the previous step's states.
void ChineseEngine::scoreStep(size_t t, const std::pair<Span<uint16_t>, const double*>& emit,
                              ViterbiScratch& s) const {
    const size_t S = stateCount_;
    const double* previous = &s.V[(t - 1) * S];
    bool prevSorted = false;
    auto overAllPrevious = [&](uint16_t y, double em, double& best, int32_t& bestFrom) {
        if (!prevSorted) {
            std::sort(s.prev.begin(), s.prev.end());
            prevSorted = true;
        }
        const double* into = &transitionsInto_[size_t(y) * S];
        for (uint16_t y0 : s.prev) keepBest(previous[y0] + into[y0] + em, y0, best, bestFrom);
    };
    for (uint16_t y : s.present[t]) {
        const double em = emissionOf(emit, y);
        double best = 0;
        int32_t bestFrom = -1;
        if (s.prev.empty()) {  // nothing can follow the last step: start afresh
            best = start_[y] + em;
        } else if (s.prev.size() <= predOffsets_[y + 1] - predOffsets_[y]) {
            overAllPrevious(y, em, best, bestFrom);
        } else {
            // Fewer previous states with a transition into y than previous states: only those
            // can win, as every kept state has a finite score and a missing transition is -inf.
            for (uint32_t e = predOffsets_[y]; e < predOffsets_[y + 1]; ++e) {
                uint16_t y0 = predStates_[e];
                if (hasBit(s.inPrev, y0))
                    keepBest(previous[y0] + predProbs_[e] + em, y0, best, bestFrom);
            }
            // Unreachable from the kept states: jieba would take any of them.
            if (bestFrom < 0) overAllPrevious(y, em, best, bestFrom);
        }
        s.V[t * S + y] = best;
        s.path[t * S + y] = bestFrom;
    }
}

// Viterbi over (position, tag) states, as jieba's part-of-speech HMM does it: each step
// considers the states the character allows that can follow the previous step's states. Leaves
// the best path in s.states.
void ChineseEngine::viterbi(const std::u32string& text, size_t begin, size_t end,
                            ViterbiScratch& s) const {
    const size_t T = end - begin, S = stateCount_;
    if (s.V.size() < T * S) s.V.resize(T * S);
    if (s.path.size() < T * S) s.path.resize(T * S);
    if (s.present.size() < T) s.present.resize(T);

    const auto first = emissions(text[begin]);
    if (!allowedStates(text[begin], s.present[0])) {
        s.present[0].resize(S);
        for (size_t y = 0; y < S; ++y) s.present[0][y] = uint16_t(y);
    }
    for (uint16_t y : s.present[0]) s.V[y] = start_[y] + emissionOf(first, y);
    for (size_t t = 1; t < T; ++t) {
        keepReachableStates(text[begin + t], s, t);
        scoreStep(t, emissions(text[begin + t]), s);
    }

    int32_t state = -1;
    double best = 0;
    std::vector<uint16_t>& last = s.present[T - 1];  // not read again
    std::sort(last.begin(), last.end());
    for (uint16_t y : last) keepBest(s.V[(T - 1) * S + y], y, best, state);
    s.states.assign(T, -1);
    for (size_t t = T; t-- > 0;) {
        s.states[t] = state;
        if (state < 0) break;
        state = s.path[t * S + size_t(state)];
    }
}

// An unknown run cut into words by the HMM's best path: a word runs from a B state to the next
// E state, an S state is a word of its own, and what is left at the end is one word.
void ChineseEngine::cutHmm(const std::u32string& text, size_t begin, size_t end,
                           std::vector<Piece>& out) const {
    const size_t T = end - begin;
    if (T == 0 || stateCount_ == 0) return;
    thread_local ViterbiScratch scratch;
    viterbi(text, begin, end, scratch);
    const std::vector<int32_t>& states = scratch.states;
    size_t wordBegin = 0, nexti = 0;
    for (size_t t = 0; t < T; ++t) {
        char pos = states[t] >= 0 ? statePos_[size_t(states[t])] : 'S';
        uint8_t tag = states[t] >= 0 ? stateTag_[size_t(states[t])] : tagX_;
        if (pos == 'B') {
            wordBegin = t;
        } else if (pos == 'E') {
            out.push_back({begin + wordBegin, begin + t + 1, tag});
            nexti = t + 1;
        } else if (pos == 'S') {
            out.push_back({begin + t, begin + t + 1, tag});
            nexti = t + 1;
        }
    }
    if (nexti < T) {
        uint8_t tag = states[nexti] >= 0 ? stateTag_[size_t(states[nexti])] : tagX_;
        out.push_back({begin + nexti, end, tag});
    }
}

TaggedText ChineseEngine::tag(std::u16string_view text) const {
    // Code points, and the UTF-16 offset of each.
    std::u32string points;
    std::vector<int32_t> offsets;
    points.reserve(text.size());
    offsets.reserve(text.size() + 1);
    for (size_t i = 0; i < text.size();) {
        offsets.push_back(int32_t(i));
        UChar32 c;
        U16_NEXT(text.data(), i, text.size(), c);
        points.push_back(char32_t(c));
    }
    offsets.push_back(int32_t(text.size()));

    TaggedText result;
    const std::vector<Piece> pieces = cut(points);
    result.words.reserve(pieces.size());
    for (const Piece& piece : pieces) {
        bool skip = true;
        for (size_t i = piece.begin; i < piece.end && skip; ++i) skip = isSkippable(points[i]);
        if (skip) continue;
        // A tag beyond the table reads as "x", like tagName's.
        const auto [lexicalClass, nameType] =
            piece.tag < tagInfo_.size() ? tagInfo_[piece.tag]
                                        : std::pair(LexicalClass::otherWord, NameType::none);
        TextRange range{offsets[piece.begin], offsets[piece.end] - offsets[piece.begin]};
        result.words.push_back({range, lexicalClass, std::string(tagName(piece.tag))});
        if (nameType != NameType::none) result.names.push_back({range, nameType});
    }
    return result;
}

}  // namespace zimlo::text::detail
