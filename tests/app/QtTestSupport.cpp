#include "app/QtTestSupport.h"

#include <QAccessible>
#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEvent>
#include <QGuiApplication>
#include <QPixmap>
#include <QTest>

namespace zimlo::qttest {

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    QDeadlineTimer deadline(timeout.count());
    while (!done()) {
        if (deadline.hasExpired()) return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

void pumpFor(std::chrono::milliseconds duration) {
    QDeadlineTimer deadline(duration.count());
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

bool pressKey(int key) {
    QWidget* focus = QApplication::focusWidget();
    if (!focus) return false;
    QTest::keyClick(focus, static_cast<Qt::Key>(key));
    settle();
    return true;
}

std::vector<std::string> unnamedControls(QWidget* root) {
    std::vector<std::string> unnamed;
    QList<QWidget*> widgets = root->findChildren<QWidget*>();
    widgets.prepend(root);
    for (QWidget* w : widgets) {
        if (w->focusPolicy() == Qt::NoFocus || !w->isVisibleTo(root)) continue;
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
        if (!a || a->text(QAccessible::Name).trimmed().isEmpty())
            unnamed.push_back(std::string(w->metaObject()->className()) + " " +
                              w->objectName().toStdString());
    }
    return unnamed;
}

namespace {

QAccessibleInterface* findBelow(QAccessibleInterface* node, QObject* object, int depth) {
    if (!node || depth > 64) return nullptr;
    if (node->object() == object) return node;
    for (int i = 0; i < node->childCount(); ++i)
        if (QAccessibleInterface* found = findBelow(node->child(i), object, depth + 1))
            return found;
    return nullptr;
}

void collectUnnamed(QAccessibleInterface* node, std::vector<std::string>& unnamed, int depth) {
    if (!node || depth > 64) return;
    auto* w = qobject_cast<QWidget*>(node->object());
    if (w && w->focusPolicy() != Qt::NoFocus && w->isVisible() &&
        node->text(QAccessible::Name).trimmed().isEmpty())
        unnamed.push_back(std::string(w->metaObject()->className()) + " " +
                          w->objectName().toStdString());
    for (int i = 0; i < node->childCount(); ++i) collectUnnamed(node->child(i), unnamed, depth + 1);
}

}  // namespace

QAccessibleInterface* findInAccessibleTree(QObject* object) {
    return findBelow(QAccessible::queryAccessibleInterface(qApp), object, 0);
}

std::vector<std::string> unnamedAccessibleControls(QAccessibleInterface* root) {
    std::vector<std::string> unnamed;
    collectUnnamed(root, unnamed, 0);
    return unnamed;
}

bool activate(QWidget* window) {
    window->raise();
    window->activateWindow();
    return pumpUntil([window] { return window->isActiveWindow(); }, std::chrono::seconds(5));
}

void settle() {
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

QString screenshotDirectory() {
    const QString dir = QStringLiteral(ZIMLO_BINARY_DIR "/screenshots");
    QDir().mkpath(dir);
    return dir;
}

bool saveScreenshot(QWidget* widget, const QString& name) {
    settle();
    return widget->grab().save(screenshotDirectory() + QLatin1Char('/') + name, "PNG");
}

bool onXServer() { return QGuiApplication::platformName() == QLatin1String("xcb"); }

}  // namespace zimlo::qttest
