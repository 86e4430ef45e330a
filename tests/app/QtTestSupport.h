#pragma once

#include <QString>
#include <QWidget>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

class QAccessibleInterface;

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

// Presses and releases `key` where the keyboard's focus is, as a user would (shortcuts first);
// false when no widget has the focus.
bool pressKey(int key);
// Activates `window` and waits until it has the keyboard.
bool activate(QWidget* window);

// The controls under `root` (widgets that take the focus, shown with it) for which the
// accessibility interface gives no name, by class and object name.
std::vector<std::string> unnamedControls(QWidget* root);

// Walks the accessibility tree as an assistive technology does, from the application's root
// (its top-level windows) down: the interface of `object`, or null when the walk never meets it.
QAccessibleInterface* findInAccessibleTree(QObject* object);
// The widgets that take the focus among the descendants of `root` in the accessibility tree
// and have no name there, by class and object name.
std::vector<std::string> unnamedAccessibleControls(QAccessibleInterface* root);

// True when the program runs on a real X server (the Xvfb main).
bool onXServer();

}  // namespace zimlo::qttest
