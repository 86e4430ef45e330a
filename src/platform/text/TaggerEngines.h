#pragma once

// The Chinese and English taggers over a loaded dictionary block.

#include <memory>
#include <string_view>
#include <vector>

#include "platform/text/TaggerData.h"
#include "platform/text/WordTagger.h"

namespace zimlo::text::detail {

class ChineseEngine {
  public:
    explicit ChineseEngine(std::shared_ptr<const TaggerBlob> blob);
    // jieba's part-of-speech cut with the HMM for unknown runs; punctuation and white space
    // are left out.
    TaggedText tag(std::u16string_view text) const;

    // The dictionary tag of each word of `text` (code points) as jieba cuts it, for tests.
    struct Piece {
        size_t begin, end;  // code point indexes
        uint8_t tag;
    };
    std::vector<Piece> cut(const std::u32string& text) const;
    std::string_view tagName(uint8_t tag) const;

  private:
    std::shared_ptr<const TaggerBlob> blob_;
    Span<char32_t> keys_;
    Span<ZhNode> nodes_;
    Span<uint32_t> rootBmp_;
    Span<char> tagNames_;
    Span<uint8_t> stateTag_;
    Span<char> statePos_;
    Span<double> start_, trans_, emitProbs_;
    Span<uint32_t> succOffsets_, charKeys_, charOffsets_, emitKeys_, emitOffsets_;
    Span<uint16_t> succ_, charStates_, emitStates_;
    std::vector<uint32_t> predOffsets_;
    std::vector<uint16_t> predStates_;
    std::vector<double> predProbs_;
    // The transition matrix by target state: row y holds the log probabilities of y following
    // each state, so a step over the previous states reads one row in order.
    std::vector<double> transitionsInto_;
    // Successors of each state as a bit set of `stateWords_` words, so that the states
    // reachable from a whole step are a few ORs.
    std::vector<uint64_t> successorBits_;
    size_t stateWords_ = 0;
    // Lexical class and name type of each dictionary tag, by tag index.
    std::vector<std::pair<LexicalClass, NameType>> tagInfo_;
    double logTotal_ = 0;
    size_t stateCount_ = 0;
    uint8_t tagX_ = 0, tagM_ = 0, tagEng_ = 0;

    uint32_t child(uint32_t node, char32_t c) const;  // 0 when there is none
    const ZhNode* findWord(const char32_t* word, size_t length) const;
    uint32_t frequency(const char32_t* word, size_t length) const;
    void cutBlock(const std::u32string& text, size_t begin, size_t end,
                  std::vector<Piece>& out) const;
    void cutDetail(const std::u32string& text, size_t begin, size_t end,
                   std::vector<Piece>& out) const;
    void cutHmm(const std::u32string& text, size_t begin, size_t end,
                std::vector<Piece>& out) const;
    struct ViterbiScratch;
    void viterbi(const std::u32string& text, size_t begin, size_t end, ViterbiScratch& s) const;
    // The states character c allows, in order; false (and none) when the tables name none.
    bool allowedStates(char32_t c, std::vector<uint16_t>& into) const;
    void keepReachableStates(char32_t c, ViterbiScratch& s, size_t t) const;
    void scoreStep(size_t t, const std::pair<Span<uint16_t>, const double*>& emit,
                   ViterbiScratch& s) const;
    uint8_t wordTag(const char32_t* word, size_t length) const;
    // Emission probabilities of a character: its states (sorted) and their log probabilities.
    std::pair<Span<uint16_t>, const double*> emissions(char32_t c) const;
    uint8_t tagIndex(std::string_view name) const;
};

class EnglishEngine {
  public:
    explicit EnglishEngine(std::shared_ptr<const TaggerBlob> blob);
    TaggedText tag(std::u16string_view text) const;

    // Lexical class of one word (any case).
    LexicalClass classify(std::u16string_view word) const;

  private:
    std::shared_ptr<const TaggerBlob> blob_;
    Span<char> pool_;
    Span<EnLemma> lemmas_;
    Span<EnException> exceptions_;

    const EnLemma* lemma(std::string_view text) const;
    NameType nameOf(std::string_view key) const;
};

}  // namespace zimlo::text::detail
