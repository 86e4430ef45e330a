#pragma once

#include <memory>
#include <string>

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

}  // namespace zimlo::capture::test
