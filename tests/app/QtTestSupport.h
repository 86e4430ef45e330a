#pragma once

#include <QString>
#include <QWidget>
#include <chrono>
#include <functional>

// Support for GoogleTest programs that drive Qt widgets. The test main creates the QApplication
// (offscreen, or on a private Xvfb for the programs linked with the Xvfb main) and binds the
// main queue to Qt's event loop.
namespace zimlo::qttest {

// Processes Qt events (and so the main queue) until `done` holds or `timeout` passes.
bool pumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));
// Processes events for `duration` (for pacing user actions, never to wait for a result).
void pumpFor(std::chrono::milliseconds duration);
// Processes the events pending now, a few rounds (deferred deletes included).
void settle();

// Where screenshots go: <build>/screenshots, created on demand.
QString screenshotDirectory();
// Grabs `widget` into screenshotDirectory()/name; false when the image could not be written.
bool saveScreenshot(QWidget* widget, const QString& name);

// True when the program runs on a real X server (the Xvfb main).
bool onXServer();

}  // namespace zimlo::qttest
