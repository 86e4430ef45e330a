#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace zimlo::capture::test {

// Fills parts of the root window from an X connection of its own (kept apart from the tests
// so that Xlib's macros stay out of them).
class RootPainter {
  public:
    explicit RootPainter(const std::string& display);
    ~RootPainter();
    void fill(int x, int y, int width, int height, unsigned long rgb);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Repaints a rectangle of the root window from a thread of its own, so that the screen stream has
// a new picture at its full rate, until stopped or destroyed (also when an assertion ends the test
// early: a running std::thread left behind would end the whole test program).
class AnimatedScreen {
  public:
    struct Area {
        int x, y, width, height;
    };
    // The colour of the i-th repaint.
    using Colours = std::function<unsigned long(int)>;
    // Greys that change each time, for pictures whose level tests read.
    static unsigned long grey(int i);
    // A colour unlike the last each time: a picture the encoder cannot shrink.
    static unsigned long noise(int i);

    AnimatedScreen(const std::string& display, Area area, Colours colours = grey,
                   std::chrono::milliseconds every = std::chrono::milliseconds(15));
    ~AnimatedScreen();
    AnimatedScreen(const AnimatedScreen&) = delete;
    AnimatedScreen& operator=(const AnimatedScreen&) = delete;

    // Stops after the repaint under way.
    void stop();

  private:
    std::atomic<bool> running_{true};
    std::thread thread_;
};

}  // namespace zimlo::capture::test
