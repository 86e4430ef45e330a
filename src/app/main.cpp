#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/AppDelegate.h"
#include "app/AppStyle.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/QtMainQueue.h"
#include "platform/text/WordTagger.h"

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
    QApplication::setApplicationName("Zimlo");
    QApplication::setOrganizationDomain("zimlo.com");
    QApplication::setDesktopFileName("zimlo");
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/zimlo.png")));
    zimlo::app::style::apply(app);
    zimlo::MainQueue::install(std::make_shared<zimlo::QtMainQueue>());
    // Live subtitles pick key words with the tagger; its dictionaries load in the background
    // so the first caption does not have to wait for them.
    zimlo::text::WordTagger::shared().preload();

    zimlo::app::AppDelegate delegate(zimlo::app::ShellServices::system());
    delegate.applicationDidFinishLaunching();
    return app.exec();
}
