#include "platform/speech/SpeechModel.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <fstream>
#include <map>
#include <thread>

#include "platform/log/Log.h"
#include "platform/runtime/Threads.h"

#ifndef ZIMLO_POCKETSPHINX_MODELDIR
#define ZIMLO_POCKETSPHINX_MODELDIR "/usr/share/pocketsphinx/model"
#endif

namespace zimlo::speech {

namespace fs = std::filesystem;

namespace {

// PocketSphinx's messages, a line at a time, into our log: its errors as warnings (our own line
// says what failed), its warnings as information, the rest at debug level. A message may come in
// pieces (continuations), so each thread gathers its line until the line ends.
log::Level levelOf(err_lvl_t level) {
    switch (level) {
        case ERR_WARN:
            return log::Level::info;
        case ERR_ERROR:
        case ERR_FATAL:
            return log::Level::warn;
        default:
            return log::Level::debug;
    }
}

void libraryMessage(void*, err_lvl_t level, const char* format, ...) {
    thread_local std::string line;
    thread_local log::Level lineLevel = log::Level::debug;
    if (level != ERR_INFOCONT || line.empty()) lineLevel = levelOf(level);
    if (line.empty() && !log::enabled(lineLevel)) return;
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    line += text;
    for (size_t end; (end = line.find('\n')) != std::string::npos; line.erase(0, end + 1)) {
        if (end > 0) log::write(lineLevel, "pocketsphinx", std::string_view(line).substr(0, end));
    }
}

// The library keeps one destination for the process; loads with a log file of their own (the
// installer's trial, in a process of its own) set theirs.
void routeLibraryMessagesToLog() { err_set_callback(libraryMessage, nullptr); }

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isFile(const fs::path& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

// Sorted directory entries, so that the choice among several candidates is stable.
std::vector<fs::path> entries(const fs::path& directory) {
    std::vector<fs::path> found;
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        found.push_back(it->path());
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string fileStart(const fs::path& path, size_t bytes) {
    std::ifstream in(path, std::ios::binary);
    std::string head(bytes, '\0');
    in.read(head.data(), static_cast<std::streamsize>(bytes));
    head.resize(static_cast<size_t>(in.gcount()));
    return head;
}

}  // namespace

ModelPaths scanModelDirectory(const fs::path& directory) {
    ModelPaths paths;
    std::error_code ec;
    if (!fs::is_directory(directory, ec)) return paths;
    std::string lmText, lmDmp;
    for (const auto& entry : entries(directory)) {
        std::string name = entry.filename().string();
        if (fs::is_directory(entry, ec)) {
            if (paths.acousticModel.empty() && isFile(entry / "mdef")) paths.acousticModel = entry;
            continue;
        }
        if (!isFile(entry)) continue;
        if (paths.dictionary.empty() && (endsWith(name, ".dic") || endsWith(name, ".dict"))) {
            paths.dictionary = entry;
        } else if (name.find("phone") != std::string::npos) {
            continue;  // a phone-loop model (such as en-us-phone.lm.bin) does not spell words
        } else if (paths.languageModel.empty() && endsWith(name, ".lm.bin")) {
            paths.languageModel = entry;
        } else if (lmText.empty() && endsWith(name, ".lm")) {
            lmText = entry.string();
        } else if (lmDmp.empty() && (endsWith(name, ".lm.DMP") || endsWith(name, ".lm.dmp"))) {
            lmDmp = entry.string();
        }
    }
    // The binary model loads fastest; fall back on the text and DMP forms.
    if (paths.languageModel.empty()) paths.languageModel = !lmText.empty() ? lmText : lmDmp;
    // A model directory may also be the acoustic model itself with the other two inside it.
    if (paths.acousticModel.empty() && isFile(directory / "mdef")) paths.acousticModel = directory;
    return paths;
}

std::optional<ModelPaths> findModelInDirectory(const fs::path& directory) {
    ModelPaths paths = scanModelDirectory(directory);
    if (paths.acousticModel.empty() || paths.dictionary.empty() || paths.languageModel.empty()) {
        return std::nullopt;
    }
    return paths;
}

fs::path userModelDirectory(const std::string& locale) {
    fs::path dataHome;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
        dataHome = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        dataHome = fs::path(home) / ".local" / "share";
    }
    return dataHome.empty() ? fs::path() : dataHome / "zimlo" / "models" / locale;
}

std::vector<fs::path> modelSearchDirectories(const std::string& locale) {
    std::vector<fs::path> dirs;
    if (fs::path user = userModelDirectory(locale); !user.empty()) dirs.push_back(user);

    fs::path system = ZIMLO_POCKETSPHINX_MODELDIR;
    std::string lowered = lower(locale);
    std::string underscored = lowered;
    std::replace(underscored.begin(), underscored.end(), '-', '_');
    for (const std::string& name : {locale, lowered, underscored}) {
        fs::path candidate = system / name;
        if (std::find(dirs.begin(), dirs.end(), candidate) == dirs.end()) dirs.push_back(candidate);
    }
    return dirs;
}

std::optional<ModelPaths> findModelInFolder(const fs::path& directory) {
    if (auto found = findModelInDirectory(directory)) return found;
    // A model archive unpacked with its own top folder (zh-CN/cmusphinx-zh-cn-5.2/...).
    for (const auto& sub : entries(directory)) {
        std::error_code ec;
        if (!fs::is_directory(sub, ec)) continue;
        if (auto found = findModelInDirectory(sub); found && found->acousticModel != sub)
            return found;
    }
    return std::nullopt;
}

std::vector<FoundModel> findModels(const std::string& locale) {
    std::vector<FoundModel> found;
    for (const auto& dir : modelSearchDirectories(locale)) {
        if (auto paths = findModelInFolder(dir)) found.push_back({dir, *paths});
    }
    if (locale == "en-US") {
        // Debian's pocketsphinx-en-us: <modeldir>/en-us/{en-us/, en-us.lm.bin, cmudict-en-us.dict}.
        fs::path base = fs::path(ZIMLO_POCKETSPHINX_MODELDIR) / "en-us";
        ModelPaths debian{base / "en-us", base / "cmudict-en-us.dict", base / "en-us.lm.bin"};
        bool listed = std::any_of(found.begin(), found.end(),
                                  [&](const FoundModel& model) { return model.paths == debian; });
        if (!listed && isFile(debian.acousticModel / "mdef") && isFile(debian.dictionary) &&
            isFile(debian.languageModel)) {
            found.push_back({base, debian});
        }
    }
    return found;
}

std::optional<ModelPaths> findModel(const std::string& locale) {
    auto found = findModels(locale);
    if (found.empty()) return std::nullopt;
    return found.front().paths;
}

Result<void, SpeechError> acousticModelLooksValid(const fs::path& directory) {
    auto refuse = [&](std::string why) {
        return fail(SpeechError{SpeechError::Kind::incompleteModel, directory, std::move(why)});
    };
    std::string mdef = fileStart(directory / "mdef", 16);
    // Text model definitions start with their version line, binary ones with "BMDF".
    if (mdef.rfind("0.3", 0) != 0 && mdef.rfind("BMDF", 0) != 0) {
        return refuse("unreadable model definition in " + directory.string());
    }
    for (const char* name : {"means", "variances", "transition_matrices"}) {
        if (fileStart(directory / name, 3) != "s3\n") {
            return refuse(std::string("missing or unreadable ") + name + " in " +
                          directory.string());
        }
    }
    if (fileStart(directory / "mixture_weights", 3) != "s3\n" && !isFile(directory / "sendump")) {
        return refuse("missing mixture weights in " + directory.string());
    }
    return {};
}

std::shared_ptr<SpeechModel> SpeechModel::shared(const ModelPaths& paths) {
    // Models live until the process ends; the registry is never destroyed, so no decoder is
    // torn down while a detached loader or a queue still uses it at exit.
    static auto* mutex = new std::mutex;  // guards: registry
    static auto* registry = new std::map<std::string, std::shared_ptr<SpeechModel>>;
    std::string key = paths.acousticModel.string() + '\n' + paths.dictionary.string() + '\n' +
                      paths.languageModel.string();
    std::lock_guard lock(*mutex);
    auto& slot = (*registry)[key];
    if (!slot) slot = std::make_shared<SpeechModel>(paths);
    return slot;
}

SpeechModel::SpeechModel(ModelPaths paths) : paths_(std::move(paths)) {}

SpeechModel::~SpeechModel() {
    for (auto* decoder : all_) ps_free(decoder);
}

void SpeechModel::preload() {
    {
        std::lock_guard lock(mutex_);
        if (preloadStarted_ || failed_ || !all_.empty()) return;
        preloadStarted_ = true;
        ++loading_;
    }
    // Loading takes about a second: never on the caller's (often the main) thread.
    letGo(startThread("speech-load", [self = shared_from_this()] {
        auto decoder = self->load();
        std::lock_guard lock(self->mutex_);
        --self->loading_;
        if (decoder.ok()) {
            self->all_.push_back(*decoder);
            self->idle_.push_back(*decoder);
        } else {
            self->failed_ = true;
            self->error_ = std::move(decoder).error();
        }
        self->changed_.notify_all();
    }));
}

bool SpeechModel::hasFailed() const {
    std::lock_guard lock(mutex_);
    return failed_;
}

bool SpeechModel::isLoaded() const {
    std::lock_guard lock(mutex_);
    return !all_.empty();
}

bool SpeechModel::waitUntilLoaded(double seconds) {
    preload();
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
        return failed_ || !all_.empty();
    }) && !all_.empty();
}

Result<SpeechModel::Lease, SpeechError> SpeechModel::acquire(
    const std::shared_ptr<SpeechModel>& model) {
    std::unique_lock lock(model->mutex_);
    for (;;) {
        if (model->failed_) return fail(model->error_);
        if (!model->idle_.empty()) {
            ps_decoder_s* decoder = model->idle_.back();
            model->idle_.pop_back();
            return Lease(model, decoder);
        }
        // Wait for a load in progress rather than starting a second one; with every decoder
        // lent out (two tasks at once) load another instead of waiting for one to come back.
        if (model->loading_ > 0) {
            model->changed_.wait(lock);
            continue;
        }
        ++model->loading_;
        lock.unlock();
        auto decoder = model->load();
        lock.lock();
        --model->loading_;
        model->changed_.notify_all();
        if (!decoder.ok()) {
            model->failed_ = true;
            model->error_ = decoder.error();
            continue;
        }
        model->all_.push_back(*decoder);
        return Lease(model, *decoder);
    }
}

Result<ps_decoder_s*, SpeechError> loadDecoder(const ModelPaths& paths, std::FILE* log,
                                               bool readWholeFiles) {
    if (auto valid = acousticModelLooksValid(paths.acousticModel); !valid.ok())
        return fail(std::move(valid).error());
    if (log) {
        err_set_callback(err_logfp_cb, nullptr);
        err_set_logfp(log);
    } else {
        routeLibraryMessagesToLog();
    }
    const char* hmm = paths.acousticModel.c_str();
    const char* dict = paths.dictionary.c_str();
    const char* lm = paths.languageModel.c_str();
    const char* mmap = readWholeFiles ? "no" : "yes";
    const fs::path folder = paths.acousticModel.parent_path();
    cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm, "-dict", dict, "-lm", lm,
                                   "-mmap", mmap, nullptr);
    if (!config) {
        return fail(SpeechError{
            SpeechError::Kind::modelRefused, folder,
            "PocketSphinx refused the configuration for the model in " + folder.string()});
    }
    ps_decoder_t* decoder = ps_init(config);
    cmd_ln_free_r(config);  // the decoder keeps its own reference
    if (!decoder) {
        return fail(SpeechError{SpeechError::Kind::modelRefused, folder,
                                "the speech model in " + folder.string() + " failed to load"});
    }
    return decoder;
}

Result<ps_decoder_s*, SpeechError> SpeechModel::load() {
    auto decoder = loadDecoder(paths_);
    if (!decoder) {
        ZIMLO_LOG_ERROR("speech") << "loading the speech model failed: " << decoder.error();
    }
    return decoder;
}

void SpeechModel::giveBack(ps_decoder_s* decoder) {
    std::lock_guard lock(mutex_);
    idle_.push_back(decoder);
    changed_.notify_all();
}

SpeechModel::Lease& SpeechModel::Lease::operator=(Lease&& other) noexcept {
    if (this != &other) {
        release();
        model_ = std::move(other.model_);
        decoder_ = other.decoder_;
        other.decoder_ = nullptr;
    }
    return *this;
}

void SpeechModel::Lease::release() {
    if (decoder_ && model_) model_->giveBack(decoder_);
    decoder_ = nullptr;
    model_.reset();
}

}  // namespace zimlo::speech
