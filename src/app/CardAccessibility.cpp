#include "app/CardAccessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>

#include "app/DraftCard.h"
#include "app/SourceCardView.h"

namespace zimlo::app {
namespace {

class DraftCardAccessible : public QAccessibleWidget {
  public:
    explicit DraftCardAccessible(DraftCard* card) : QAccessibleWidget(card, QAccessible::Button) {}

    QStringList actionNames() const override {
        return {pressAction(), showMenuAction(), setFocusAction()};
    }
    void doAction(const QString& name) override {
        auto* card = static_cast<DraftCard*>(widget());
        if (name == pressAction()) {
            if (card->onOpen && !card->isEditingDrafts()) card->onOpen();
        } else if (name == showMenuAction()) {
            if (card->onMenu) card->onMenu(card->mapToGlobal(card->rect().center()));
        } else {
            QAccessibleWidget::doAction(name);
        }
    }
};

class SourceCardAccessible : public QAccessibleWidget {
  public:
    explicit SourceCardAccessible(SourceCardView* card)
        : QAccessibleWidget(card, QAccessible::RadioButton) {}

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.checkable = true;
        s.checked = static_cast<SourceCardView*>(widget())->isSelected();
        return s;
    }
    QStringList actionNames() const override { return {pressAction(), setFocusAction()}; }
    void doAction(const QString& name) override {
        auto* card = static_cast<SourceCardView*>(widget());
        if (name == pressAction()) {
            if (card->onSelect) card->onSelect();
        } else {
            QAccessibleWidget::doAction(name);
        }
    }
};

QAccessibleInterface* cardInterface(const QString&, QObject* object) {
    if (auto* draft = qobject_cast<DraftCard*>(object)) return new DraftCardAccessible(draft);
    if (auto* source = qobject_cast<SourceCardView*>(object))
        return new SourceCardAccessible(source);
    return nullptr;
}

}  // namespace

void installCardAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(cardInterface);
        return true;
    }();
    (void)installed;
}

}  // namespace zimlo::app
