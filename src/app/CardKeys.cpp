#include "app/CardKeys.h"

#include <QKeyEvent>

namespace zimlo::app {

bool isCardMoveKey(int key) {
    switch (key) {
        case Qt::Key_Left:
        case Qt::Key_Right:
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Home:
        case Qt::Key_End:
            return true;
        default:
            return false;
    }
}

bool claimCardKey(QEvent* event, bool deletes) {
    if (event->type() != QEvent::ShortcutOverride) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    if ((key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier) return false;
    switch (key->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Space:
            break;
        case Qt::Key_Delete:
        case Qt::Key_Backspace:
            if (!deletes) return false;
            break;
        default:
            if (!isCardMoveKey(key->key())) return false;
    }
    event->accept();
    return true;
}

}  // namespace zimlo::app
