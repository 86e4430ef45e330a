#include "platform/portal/GLibLoop.h"

#include <gio/gio.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/runtime/Threads.h"

namespace zimlo::portal::detail {
namespace {

struct Loop {
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    std::thread thread;

    Loop() {
        context = g_main_context_new();
        loop = g_main_loop_new(context, FALSE);
        std::mutex mutex;  // guards: started
        std::condition_variable ready;
        bool started = false;
        thread = startThread("portal", [&] {
            g_main_context_push_thread_default(context);
            {
                std::lock_guard lock(mutex);
                started = true;
            }
            ready.notify_all();
            g_main_loop_run(loop);
            g_main_context_pop_thread_default(context);
        });
        std::unique_lock lock(mutex);
        ready.wait(lock, [&] { return started; });
        // The thread lives as long as the process: portal sessions may be closed from
        // destructors of static objects, and GLib keeps the session bus open anyway.
        thread.detach();
    }
};

Loop& loop() {
    static Loop* instance = new Loop;
    return *instance;
}

gboolean runWork(gpointer data) {
    auto* work = static_cast<std::function<void()>*>(data);
    (*work)();
    return G_SOURCE_REMOVE;
}

void deleteWork(gpointer data) { delete static_cast<std::function<void()>*>(data); }

}  // namespace

bool isPortalThread() { return g_main_context_is_owner(loop().context); }

void invoke(std::function<void()> work) {
    if (isPortalThread()) {
        work();
        return;
    }
    g_main_context_invoke_full(loop().context, G_PRIORITY_DEFAULT, runWork,
                               new std::function<void()>(std::move(work)), deleteWork);
}

void invokeAndWait(const std::function<void()>& work) {
    if (isPortalThread()) {
        work();
        return;
    }
    std::mutex mutex;  // guards: finished
    std::condition_variable done;
    bool finished = false;
    invoke([&] {
        work();
        std::lock_guard lock(mutex);
        finished = true;
        done.notify_all();
    });
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finished; });
}

}  // namespace zimlo::portal::detail
