#include "recording/KeyboardActivation.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPainter>
#include <QShortcut>
#include <QWidget>
#include <algorithm>

namespace zimlo::recording {

QAbstractButton* focusedButton(const QWidget* scope) {
    auto* button = qobject_cast<QAbstractButton*>(QApplication::focusWidget());
    if (!button || button->window() != scope->window()) return nullptr;
    if (!button->isEnabled() || !button->isVisible()) return nullptr;
    return button;
}

QShortcut* addDefaultKey(QWidget* scope, const QKeySequence& key, std::function<void()> fallback) {
    auto* shortcut = new QShortcut(key, scope);
    shortcut->setContext(Qt::WindowShortcut);
    QObject::connect(shortcut, &QShortcut::activated, scope,
                     [scope, fallback = std::move(fallback)] {
                         if (!scope->isVisible()) return;
                         if (QAbstractButton* button = focusedButton(scope)) {
                             button->click();
                             return;
                         }
                         if (fallback) fallback();
                     });
    return shortcut;
}

int gridStep(int index, int count, int columns, int key) {
    if (count <= 0 || index < 0 || index >= count || columns <= 0) return -1;
    int next = index;
    switch (key) {
        case Qt::Key_Left:
            next = index - 1;
            break;
        case Qt::Key_Right:
            next = index + 1;
            break;
        case Qt::Key_Up:
            next = index - columns;
            break;
        case Qt::Key_Down:
            next = std::min(index + columns, count - 1);
            break;
        case Qt::Key_Home:
            next = 0;
            break;
        case Qt::Key_End:
            next = count - 1;
            break;
        default:
            return -1;
    }
    return next >= 0 && next < count ? next : index;
}

void paintFocusRing(QWidget* widget, double radius) {
    if (!widget->hasFocus()) return;
    QPainter p(widget);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(Qt::NoBrush);
    // White outside, accent inside: visible on the dark cards and on light thumbnails alike.
    p.setPen(QPen(QColor(255, 255, 255, 235), 3));
    p.drawRoundedRect(QRectF(widget->rect()).adjusted(1.5, 1.5, -1.5, -1.5), radius, radius);
    p.setPen(QPen(QColor(10, 132, 255), 1.5));
    p.drawRoundedRect(QRectF(widget->rect()).adjusted(3.75, 3.75, -3.75, -3.75), radius - 2,
                      radius - 2);
}

}  // namespace zimlo::recording
