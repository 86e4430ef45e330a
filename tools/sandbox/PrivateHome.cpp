#include "sandbox/PrivateHome.h"

#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace zimlo::sandbox {

namespace fs = std::filesystem;

namespace {

void setVariable(const char* name, const fs::path& value) { ::setenv(name, value.c_str(), 1); }

// Debian's pocketsphinx-en-us files under the names the Mandarin model's folder is searched for.
void linkEnglishModel(const fs::path& models) {
    const fs::path english = "/usr/share/pocketsphinx/model/en-us";
    fs::create_directories(models);
    for (const char* part : {"en-us", "cmudict-en-us.dict", "en-us.lm.bin"}) {
        if (!fs::exists(english / part))
            throw std::runtime_error("missing " + (english / part).string() +
                                     " (package pocketsphinx-en-us)");
        fs::create_symlink(english / part, models / part);
    }
}

}  // namespace

PrivateHome::PrivateHome(const std::string& prefix, fs::path home) {
    std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a private folder in " +
                                 fs::temp_directory_path().string());
    root_ = pattern;
    try {
        home_ = home.empty() ? root_ / "home" : fs::absolute(home);
        temporary_ = root_ / "tmp";
        fs::create_directories(home_);
        for (const char* sub : {"tmp", "data", "config", "cache", "state", "runtime"})
            fs::create_directories(root_ / sub);
        fs::permissions(root_ / "runtime", fs::perms::owner_all, fs::perm_options::replace);
        linkEnglishModel(dataHome() / "zimlo" / "models" / "zh-CN");
    } catch (const fs::filesystem_error& error) {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
        throw std::runtime_error(error.what());
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
        throw;
    }
    setVariable("HOME", home_);
    setVariable("TMPDIR", temporary_);
    setVariable("XDG_DATA_HOME", dataHome());
    setVariable("XDG_CONFIG_HOME", root_ / "config");
    setVariable("XDG_CACHE_HOME", root_ / "cache");
    setVariable("XDG_STATE_HOME", root_ / "state");  // recordings are made here
    setVariable("XDG_RUNTIME_DIR", root_ / "runtime");
}

PrivateHome::~PrivateHome() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

}  // namespace zimlo::sandbox
