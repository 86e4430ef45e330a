#pragma once

// Internal: the one thread on which every portal call and its answers run. libportal delivers
// its results on the main context that was the thread's default when a call was made, so all
// calls go through this thread's own context, apart from any GLib loop the application runs.

#include <functional>

namespace zimlo::portal::detail {

// Runs `work` on the portal thread (inline when already there) and returns at once.
void invoke(std::function<void()> work);
// Runs `work` on the portal thread and waits for it.
void invokeAndWait(const std::function<void()>& work);
bool isPortalThread();

}  // namespace zimlo::portal::detail
