#pragma once

// The tagger's dictionaries as one block of plain arrays: built from the source files once,
// written to a binary cache, and later mapped in without any parsing.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/runtime/Result.h"
#include "platform/text/DictionaryError.h"

namespace zimlo::text::detail {

template <typename T>
struct Span {
    const T* items = nullptr;
    size_t count = 0;
    const T& operator[](size_t i) const { return items[i]; }
    size_t size() const { return count; }
    const T* begin() const { return items; }
    const T* end() const { return items + count; }
};

// A node of the Chinese dictionary's trie, standing for the prefix spelt by its path. Its
// children are the nodes [firstChild, firstChild + childCount), sorted by character.
struct ZhNode {
    uint32_t firstChild;
    uint32_t childCount;
    uint32_t frequency;
    uint8_t tag;
    uint8_t isWord;
    uint16_t unused;
};

// An English lemma of WordNet with, per part of speech (noun, verb, adjective, adverb), the
// number of senses and the corpus count of its tagged senses, and the name type of its
// proper-noun senses (0 none, else the NameType value).
struct EnLemma {
    uint32_t offset;
    uint16_t length;
    uint8_t nameType;
    uint8_t unused;
    uint32_t tagCount[4];
    uint16_t senses[4];
};

// An inflected form from WordNet's exception lists and its base form.
struct EnException {
    uint32_t inflectedOffset;
    uint16_t inflectedLength;
    uint8_t pos;
    uint8_t unused;
    uint32_t baseOffset;
    uint32_t baseLength;
};

struct Scalars {
    double zhLogTotal = 0;
    uint32_t hmmStateCount = 0;
    uint32_t hasChinese = 0;
    uint32_t hasEnglish = 0;
    uint32_t unused = 0;
};

enum SectionId : uint32_t {
    kScalars,
    kZhTrieKeys,      // char32_t per trie node: the character leading to it
    kZhTrieNodes,     // ZhNode; node 0 is the root
    kZhRootBmp,       // uint32_t[65536]: the root's child for a BMP character, 0 when none
    kZhTagNames,      // char[8] per tag index
    kHmmStateTag,     // uint8_t per state: tag index (states sorted by position letter, then tag)
    kHmmStatePos,     // char per state: 'B', 'E', 'M' or 'S'
    kHmmStart,        // double per state
    kHmmTrans,        // double[S * S], -infinity where there is no transition
    kHmmSuccOffsets,  // uint32_t[S + 1] into kHmmSucc
    kHmmSucc,         // uint16_t: states that may follow each state
    kHmmCharKeys,     // uint32_t, sorted: characters with a list of possible states
    kHmmCharOffsets,  // uint32_t[keys + 1] into kHmmCharStates
    kHmmCharStates,   // uint16_t
    kHmmEmitKeys,     // uint32_t, sorted: characters with emission probabilities
    kHmmEmitOffsets,  // uint32_t[keys + 1]
    kHmmEmitStates,   // uint16_t, sorted within each character
    kHmmEmitProbs,    // double
    kEnPool,          // char: lemma and exception strings
    kEnLemmas,        // EnLemma, sorted by text
    kEnExceptions,    // EnException, sorted by inflected text, then part of speech
    kSectionCount,
};

class TaggerBlob;

// What building from the source files made: a block holding each language that loaded, and why
// any other did not (that language is then empty; each failure is logged once).
struct TaggerBuild {
    std::shared_ptr<TaggerBlob> blob;
    Result<void, DictionaryError> chinese;
    Result<void, DictionaryError> english;
};

class TaggerBlob {
  public:
    // Builds from the dictionaries' source files.
    static TaggerBuild build(const std::string& jiebaDir, const std::string& wordnetDir);
    // Maps a cache file in when its signature matches; nothing otherwise.
    static std::shared_ptr<TaggerBlob> mapFile(const std::string& path, uint64_t signature);
    // Writes the block atomically (temporary file, then rename); false on failure.
    bool writeFile(const std::string& path, uint64_t signature) const;

    // A value identifying the source files (paths, sizes, modification times) and the format.
    static uint64_t sourceSignature(const std::string& jiebaDir, const std::string& wordnetDir);

    ~TaggerBlob();

    template <typename T>
    Span<T> section(SectionId id) const {
        return {reinterpret_cast<const T*>(base_ + offsets_[id]), sizes_[id] / sizeof(T)};
    }
    const Scalars& scalars() const {
        return *reinterpret_cast<const Scalars*>(base_ + offsets_[kScalars]);
    }

    TaggerBlob() = default;
    TaggerBlob(const TaggerBlob&) = delete;
    TaggerBlob& operator=(const TaggerBlob&) = delete;

  private:
    friend struct BlobBuilder;
    std::string owned_;       // built in memory
    void* mapped_ = nullptr;  // or mapped from a file
    size_t mappedSize_ = 0;
    const char* base_ = nullptr;
    uint64_t offsets_[kSectionCount] = {};
    uint64_t sizes_[kSectionCount] = {};
    bool attach(const char* data, size_t size, uint64_t signature);
};

}  // namespace zimlo::text::detail
