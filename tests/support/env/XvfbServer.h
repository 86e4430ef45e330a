#pragma once

#include <sys/types.h>

#include <string>

namespace zimlo::test {

// A private Xvfb server on a free display number, for tests that need X11. Started by the
// constructor (throws std::runtime_error when Xvfb cannot start), stopped by the destructor.
class XvfbServer {
  public:
    explicit XvfbServer(const std::string& screen = "1920x1080x24");
    ~XvfbServer();

    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    const std::string& displayName() const { return displayName_; }  // e.g. ":42"
    // Points $DISPLAY at this server, for code that opens the default display.
    void exportDisplay() const;

  private:
    pid_t pid_ = -1;
    std::string displayName_;
};

}  // namespace zimlo::test
