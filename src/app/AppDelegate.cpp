#include "app/AppDelegate.h"

#include <QApplication>

namespace zimlo::app {

void AppDelegate::applicationDidFinishLaunching() {
    QApplication::setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());
    mainWindowController_ = HomeWindowController::create(services_);
    MainWindow* window = mainWindowController_->window();
    window->show();
    window->raise();
    window->activateWindow();
}

}  // namespace zimlo::app
