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
// was, with no folder of ours beside it. `progress` hears each step, when given.
ModelInstallResult<ModelInstallation> installModel(
    const std::filesystem::path& source, const std::filesystem::path& destination,
    const std::function<void(const std::string&)>& progress = {});

// Loads the model once in a child process, reading every byte of its files: PocketSphinx ends or
// crashes the process on some damaged files instead of returning an error. Fails with why the
// model does not load. The calling process must be single-threaded (it forks).
Result<void, std::string> checkModelLoads(const ModelPaths& paths,
                                          std::chrono::seconds timeout = std::chrono::minutes(3));

}  // namespace zimlo::speech
