#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace zimlo::sandbox {

// A plain X11 window of one colour that slides back and forth along a band of the display, on
// a connection and thread of its own. Its _NET_WM_PID names the parent process (the server
// would name this one), so the recorder takes it for another application's window and records
// it.
class MovingWindow {
  public:
    static constexpr int kWidth = 240;
    static constexpr int kHeight = 150;
    static constexpr unsigned long kRGB = 0x00c850;  // green, unlike anything else on screen

    // Band: x from `left` to `right` (window's left edge), at `top`. Throws std::runtime_error
    // when the display cannot be opened.
    MovingWindow(const std::string& display, int left, int right, int top);
    ~MovingWindow();
    MovingWindow(const MovingWindow&) = delete;
    MovingWindow& operator=(const MovingWindow&) = delete;

  private:
    void run();

    struct Impl;
    std::unique_ptr<Impl> impl_;
    int left_, right_, top_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace zimlo::sandbox
