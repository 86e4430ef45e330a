#include "app/Application.h"

#include <QApplication>

namespace zimlo::app {

void Application::started() {
    QApplication::setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());
    mainWindowController_ = HomeWindowController::create(services_);
    MainWindow* window = mainWindowController_->window();
    window->show();
    window->raise();
    window->activateWindow();
}

void Application::activate() {
    if (!mainWindowController_) return;
    QWidget* window = mainWindowController_->window();
    if (const auto& recording = mainWindowController_->recordingWindowController())
        if (QWidget* recordingWindow = recording->window()) window = recordingWindow;
    window->show();
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->raise();
    window->activateWindow();
}

}  // namespace zimlo::app
