#include "recording/PopupAccessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPointer>
#include <QWidget>

namespace zimlo::recording {
namespace {

const char* const kHostsPopups = "zimloHostsPopups";

class PopupHostAccessible : public QAccessibleWidget {
  public:
    explicit PopupHostAccessible(QWidget* host) : QAccessibleWidget(host) {}

    int childCount() const override {
        return QAccessibleWidget::childCount() + static_cast<int>(popups().size());
    }
    QAccessibleInterface* child(int index) const override {
        const int own = QAccessibleWidget::childCount();
        if (index < own) return QAccessibleWidget::child(index);
        const QList<QWidget*> open = popups();
        if (index - own >= open.size()) return nullptr;
        return QAccessible::queryAccessibleInterface(open.at(index - own));
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        if (child && child->object()) {
            const int at = popups().indexOf(qobject_cast<QWidget*>(child->object()));
            if (at >= 0) return QAccessibleWidget::childCount() + at;
        }
        return QAccessibleWidget::indexOfChild(child);
    }

  private:
    QList<QWidget*> popups() const {
        QList<QWidget*> open;
        for (QWidget* w : widget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (w->isWindow() && w->windowType() == Qt::Popup && w->isVisible()) open << w;
        return open;
    }
};

// A child of such a host. Once it is a pop-up window its parent is the host rather than the
// application (it may have become one after its interface was made).
class HostedWidgetAccessible : public QAccessibleWidget {
  public:
    explicit HostedWidgetAccessible(QWidget* widget) : QAccessibleWidget(widget) {}

    QAccessibleInterface* parent() const override {
        if (widget()->isWindow() && widget()->windowType() == Qt::Popup)
            return QAccessible::queryAccessibleInterface(widget()->parentWidget());
        return QAccessibleWidget::parent();
    }
};

QAccessibleInterface* popupHostInterface(const QString&, QObject* object) {
    auto* widget = qobject_cast<QWidget*>(object);
    if (!widget) return nullptr;
    if (widget->property(kHostsPopups).toBool()) return new PopupHostAccessible(widget);
    // Only plain widgets: controls keep the interfaces Qt gives them.
    if (widget->metaObject()->superClass() == &QWidget::staticMetaObject &&
        widget->parentWidget() && widget->parentWidget()->property(kHostsPopups).toBool())
        return new HostedWidgetAccessible(widget);
    return nullptr;
}

}  // namespace

void exposePopupsToAssistiveTechnologies(QWidget* host) {
    static const bool installed = [] {
        QAccessible::installFactory(popupHostInterface);
        return true;
    }();
    (void)installed;
    // Before Qt made an interface for it (interfaces are cached per object).
    host->setProperty(kHostsPopups, true);
}

}  // namespace zimlo::recording
