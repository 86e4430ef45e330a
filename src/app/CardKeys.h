#pragma once

class QEvent;

namespace zimlo::app {

// Arrow keys, Home and End: they move the focus between cards.
bool isCardMoveKey(int key);

// For a card's event(): takes a ShortcutOverride of a key the focused card acts on (Return,
// Enter, Space, the move keys and, with `deletes`, Delete and Backspace; no modifier but the
// keypad's), so that the window's shortcuts, its default button on Return among them, leave it
// to the card. True when it took the event.
bool claimCardKey(QEvent* event, bool deletes);

}  // namespace zimlo::app
