#include "platform/runtime/ThreadPriority.h"

#include <dirent.h>
#include <sched.h>

#include <cstdlib>
#include <string>

namespace zimlo {

bool runWhenIdle() {
    sched_param parameters{};
    return sched_setscheduler(0, SCHED_IDLE, &parameters) == 0;
}

int raiseIdleThreads() {
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return 0;
    int raised = 0;
    while (dirent* entry = readdir(tasks)) {
        char* end = nullptr;
        const long id = std::strtol(entry->d_name, &end, 10);
        if (id <= 0 || !end || *end != '\0') continue;
        if (sched_getscheduler(static_cast<pid_t>(id)) != SCHED_IDLE) continue;
        sched_param parameters{};
        if (sched_setscheduler(static_cast<pid_t>(id), SCHED_OTHER, &parameters) == 0) ++raised;
    }
    closedir(tasks);
    return raised;
}

}  // namespace zimlo
