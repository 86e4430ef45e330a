#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "app/AppDelegate.h"
#include "app/ApplicationSetup.h"

int main(int argc, char** argv) {
    // Zimlo records an X11 desktop; without one there is nothing to show or capture.
    if (!std::getenv("DISPLAY")) {
        std::fprintf(stderr,
                     "zimlo: no graphical session found (DISPLAY is not set).\n"
                     "Start Zimlo from a desktop session, or on a headless machine run a virtual\n"
                     "display first:  Xvfb :1 -screen 0 1920x1080x24 &  DISPLAY=:1 zimlo\n");
        return 1;
    }
    // Capture and window placement speak X11; on Wayland desktops run through XWayland.
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    zimlo::app::setUpApplication(app);

    zimlo::app::AppDelegate delegate(zimlo::app::ShellServices::system());
    delegate.applicationDidFinishLaunching();
    return app.exec();
}
