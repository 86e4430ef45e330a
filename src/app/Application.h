#pragma once

#include <memory>

#include "app/HomeWindowController.h"

namespace zimlo::app {

// Start-up: creates the main window controller once the application is ready and brings its
// window to the front. Closing the last window quits (Qt's default, kept on purpose).
class Application {
  public:
    explicit Application(ShellServices services) : services_(std::move(services)) {}

    void started();
    // Another start of the application asked for us: the window in use comes to the front
    // (the recording window while one is open, else the main window).
    void activate();
    static bool applicationShouldTerminateAfterLastWindowClosed() { return true; }

    const std::shared_ptr<HomeWindowController>& mainWindowController() const {
        return mainWindowController_;
    }

  private:
    ShellServices services_;
    std::shared_ptr<HomeWindowController> mainWindowController_;
};

}  // namespace zimlo::app
