#include "app/ApplicationSetup.h"

#include <QApplication>
#include <QIcon>
#include <memory>

#include "app/AppStyle.h"
#include "platform/i18n/Language.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/QtMainQueue.h"
#include "platform/text/WordTagger.h"

namespace zimlo::app {

void setUpApplication(QApplication& application) {
    QApplication::setApplicationName("Zimlo");
    QApplication::setOrganizationDomain("zimlo.com");
    // The desktop entry (and the Wayland app id) by the AppStream id.
    QApplication::setDesktopFileName("io.github.zimlo.zimlo");
    i18n::installLanguage(i18n::chooseLanguage(i18n::processEnvironment()));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/zimlo.png")));
    style::apply(application);
    MainQueue::install(std::make_shared<QtMainQueue>());
    text::WordTagger::shared().preload();
}

}  // namespace zimlo::app
