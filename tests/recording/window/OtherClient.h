#pragma once

#include <memory>

namespace zimlo::recording::test {

// Another program on the test's X display: a window of its own that can take the focus, and
// key grabs of its own (kept apart from the tests so that Xlib's macros stay out of them).
class OtherClient {
  public:
    OtherClient();  // on $DISPLAY; throws std::runtime_error without one
    ~OtherClient();

    // Maps a small window and gives it the keyboard focus; true once the server says so.
    bool focusOwnWindow();
    bool ownWindowHasFocus() const;
    // Grabs Ctrl+Alt and the letter `letter` on the root window, as a hotkey tool would.
    void grabControlAlt(char letter);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zimlo::recording::test
