#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/runtime/Result.h"
#include "platform/speech/ModelArchive.h"
#include "platform/speech/ModelInstallError.h"
#include "platform/speech/SpeechModel.h"

namespace zimlo::speech {

struct ModelInstallation {
    std::filesystem::path directory;  // where the model now lives
    ModelPaths paths;                 // its three parts, inside `directory`
    std::uintmax_t files = 0;
    std::uintmax_t bytes = 0;
    bool replacedPrevious = false;
    double loadSeconds = 0;  // how long the trial load took
};

// Installs the PocketSphinx model held by `source` (a folder, or an archive libarchive reads) as
// `destination`, laid out as the source lays it out. The model is put together in a new folder
// next to `destination`, must hold an acoustic model, a dictionary and a language model (directly
// or inside one folder of its own) and must load once; only then does it replace `destination`
// in one rename. A failure is logged and returned with the reason, and leaves `destination` as it
// was, with no folder of ours beside it. `progress` hears each step, when given. What is
// unpacked or copied stays within `limits`.
//
// One installation into a folder runs at a time (another one fails at once); it first removes
// the half-made folders ".NAME.installing-*" that installations killed before they finished
// left beside `destination`.
ModelInstallResult<ModelInstallation> installModel(
    const std::filesystem::path& source, const std::filesystem::path& destination,
    const std::function<void(const std::string&)>& progress = {}, const UnpackLimits& limits = {});

// Memory a trial load may take beyond what the calling process already holds, for a model whose
// files hold `modelBytes`: PocketSphinx keeps about that much (a text dictionary several times
// its size), so this leaves ample room for any real model and none for one that claims billions
// of entries.
std::uint64_t trialLoadMemoryAllowance(std::uint64_t modelBytes);

// Loads the model once in a child process, reading every byte of its files: PocketSphinx ends or
// crashes the process on some damaged files instead of returning an error. The child may use
// trialLoadMemoryAllowance more memory (its address space is limited) and `timeout` of time.
// Fails with why the model does not load (modelRefused, incompleteModel, or the trial's own
// loadNotStarted, loadTimedOut, loadTooLarge, loadCrashed). The calling process must be
// single-threaded (it forks).
Result<void, SpeechError> checkModelLoads(const ModelPaths& paths,
                                          std::chrono::seconds timeout = std::chrono::minutes(3));

}  // namespace zimlo::speech
