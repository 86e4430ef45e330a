#pragma once

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/runtime/Result.h"
#include "platform/speech/SpeechError.h"

struct ps_decoder_s;

namespace zimlo::speech {

// Where the three parts of a PocketSphinx model live.
struct ModelPaths {
    std::filesystem::path acousticModel;  // directory holding mdef, means, variances, ...
    std::filesystem::path dictionary;     // pronunciation dictionary (.dic / .dict)
    std::filesystem::path languageModel;  // n-gram model (.lm.bin, .lm or .lm.DMP)

    friend bool operator==(const ModelPaths&, const ModelPaths&) = default;
};

// The parts of a model found in one directory (see findModelInDirectory); missing ones empty.
ModelPaths scanModelDirectory(const std::filesystem::path& directory);

// The model layout inside one directory: an acoustic-model subdirectory (the one with an
// "mdef"), a dictionary and a language model next to it. Nothing when a part is missing.
std::optional<ModelPaths> findModelInDirectory(const std::filesystem::path& directory);

// A model in `directory` itself or, as an archive unpacked with its own top folder leaves it,
// in one of its subdirectories.
std::optional<ModelPaths> findModelInFolder(const std::filesystem::path& directory);

// The user's own model directory for a locale: ($XDG_DATA_HOME, else ~/.local/share)/zimlo/
// models/<locale>. Empty when neither variable says where the user's data lives.
std::filesystem::path userModelDirectory(const std::string& locale);

// Directories searched for a locale's model, in order: the user's model directory, then the
// system's PocketSphinx model directory (<modeldir>/<locale> and its lower-case and underscore
// spellings).
std::vector<std::filesystem::path> modelSearchDirectories(const std::string& locale);

struct FoundModel {
    std::filesystem::path directory;  // the search directory that holds it
    ModelPaths paths;
};

// Every model there is for a locale, in search order: the first one is used. en-US also finds
// Debian's pocketsphinx-en-us files, whose names do not follow the generic layout.
std::vector<FoundModel> findModels(const std::string& locale);

// The model for a locale: the first of findModels.
std::optional<ModelPaths> findModel(const std::string& locale);

// Quick sanity check of an acoustic model's files. PocketSphinx ends the whole process on some
// malformed models instead of reporting an error, so obviously broken ones are refused first
// (incompleteModel).
Result<void, SpeechError> acousticModelLooksValid(const std::filesystem::path& directory);

// Creates a decoder for a model, or says why it does not load (incompleteModel, modelRefused).
// The library's messages go to `log`, or into our log when null (its errors as warnings, the
// rest at debug level). With `readWholeFiles`, files the library would map into memory are read
// instead, so that a file cut short fails here rather than at the first access to its missing
// part (a bus error in the middle of recognition).
Result<ps_decoder_s*, SpeechError> loadDecoder(const ModelPaths& paths, std::FILE* log = nullptr,
                                               bool readWholeFiles = false);

// One loaded model, shared by the whole process. Decoders are expensive to load (about a
// second) and hold one utterance at a time, so they are pooled: a task borrows one for its
// utterance and gives it back. The first decoder is loaded in the background as soon as
// `preload` is called; further ones only when two tasks decode at the same time.
class SpeechModel : public std::enable_shared_from_this<SpeechModel> {
  public:
    // The process-wide model for these paths.
    static std::shared_ptr<SpeechModel> shared(const ModelPaths& paths);

    explicit SpeechModel(ModelPaths paths);
    ~SpeechModel();
    SpeechModel(const SpeechModel&) = delete;
    SpeechModel& operator=(const SpeechModel&) = delete;

    const ModelPaths& paths() const { return paths_; }

    // Starts loading the first decoder on the loader thread, once.
    void preload();
    // True once a load has failed; the model is then unusable for the rest of the process.
    bool hasFailed() const;
    // True once at least one decoder loaded.
    bool isLoaded() const;
    // Waits until a decoder is loaded (true) or the load failed or time ran out (false).
    bool waitUntilLoaded(double seconds);

    class Lease {
      public:
        Lease() = default;
        Lease(std::shared_ptr<SpeechModel> model, ps_decoder_s* decoder)
            : model_(std::move(model)), decoder_(decoder) {}
        Lease(Lease&& other) noexcept { *this = std::move(other); }
        Lease& operator=(Lease&& other) noexcept;
        ~Lease() { release(); }
        ps_decoder_s* get() const { return decoder_; }
        explicit operator bool() const { return decoder_ != nullptr; }
        void release();

      private:
        std::shared_ptr<SpeechModel> model_;
        ps_decoder_s* decoder_ = nullptr;
    };

    // Borrows a decoder, waiting for a load in progress or loading one on the calling thread.
    // Why not, when the model cannot be loaded (the failed load logged it).
    static Result<Lease, SpeechError> acquire(const std::shared_ptr<SpeechModel>& model);

  private:
    Result<ps_decoder_s*, SpeechError> load();
    void giveBack(ps_decoder_s* decoder);

    ModelPaths paths_;
    mutable std::mutex mutex_;  // guards: idle_, all_, loading_, preloadStarted_, failed_, error_
    std::condition_variable changed_;
    std::vector<ps_decoder_s*> idle_;
    std::vector<ps_decoder_s*> all_;
    int loading_ = 0;
    bool preloadStarted_ = false;
    bool failed_ = false;
    SpeechError error_;
};

}  // namespace zimlo::speech
