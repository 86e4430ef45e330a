#pragma once

#include <sys/types.h>

#include <string>

namespace zimlo::sandbox {

// A private Xvfb server on a free display number. Started by the constructor (throws
// std::runtime_error when Xvfb cannot start), stopped by the destructor. The server runs in a
// process group of its own, so a Ctrl-C in the terminal reaches only its owner, which stops it in
// order, and it ends with the thread that started it (keep that the main thread).
class XvfbServer {
  public:
    explicit XvfbServer(const std::string& screen = "1920x1080x24");
    ~XvfbServer();

    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    const std::string& displayName() const { return displayName_; }  // e.g. ":42"
    pid_t pid() const { return pid_; }
    // Points $DISPLAY at this server, for code that opens the default display.
    void exportDisplay() const;

  private:
    pid_t pid_ = -1;
    std::string displayName_;
};

}  // namespace zimlo::sandbox
