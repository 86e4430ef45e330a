#pragma once

namespace zimlo {

// Background work that must never take time from a recording: a thread that calls
// runWhenIdle() (and every thread it starts from then on, which inherit it) runs only on time
// no other thread of the machine wants (SCHED_IDLE). False when the system refused.
bool runWhenIdle();

// Gives every idle thread of this process back its ordinary priority, once its work has become
// what the user waits for. Raising a priority needs the right to (root, or a nice limit that
// allows it); without it the threads stay idle. Returns how many were raised.
int raiseIdleThreads();

}  // namespace zimlo
