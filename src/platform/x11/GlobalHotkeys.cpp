#include "platform/x11/GlobalHotkeys.h"

#include <X11/XKBlib.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/log/Log.h"
#include "platform/runtime/Threads.h"
#include "platform/x11/X11Connection.h"

namespace zimlo::x11 {

namespace {
constexpr unsigned kMeaningfulModifiers = ShiftMask | ControlMask | Mod1Mask | Mod4Mask;
}  // namespace

struct GlobalHotkeys::Impl {
    Connection connection;
    Handler handler;
    // guards: grabs, held and every use of the display, so a grab's errors are read by the
    // thread that trapped them
    std::mutex mutex;
    struct Grabbed {
        KeyCode keycode = 0;
        unsigned modifiers = 0;
    };
    std::map<int, Grabbed> grabs;
    std::set<int> held;  // pressed and not yet released: key repeat is not a new press
    unsigned numLockMask = 0;
    int wake[2] = {-1, -1};
    std::atomic<bool> stopping{false};
    std::thread thread;

    explicit Impl(const char* displayName) : connection(displayName) {}

    Window root() const { return DefaultRootWindow(connection.get()); }

    // Caps Lock and Num Lock change the modifier state the server compares: every variant is
    // grabbed.
    std::vector<unsigned> lockVariants() const {
        return {0u, static_cast<unsigned>(LockMask), numLockMask, LockMask | numLockMask};
    }

    void ungrab(const Grabbed& grabbed) {
        for (unsigned extra : lockVariants())
            XUngrabKey(connection, grabbed.keycode, grabbed.modifiers | extra, root());
    }

    void findNumLock() {
        Display* d = connection;
        const KeyCode numLock = XKeysymToKeycode(d, XK_Num_Lock);
        XModifierKeymap* map = XGetModifierMapping(d);
        if (!map) return;
        for (int modifier = 0; modifier < 8 && numLock; ++modifier)
            for (int k = 0; k < map->max_keypermod; ++k)
                if (map->modifiermap[modifier * map->max_keypermod + k] == numLock)
                    numLockMask = 1u << modifier;
        XFreeModifiermap(map);
    }

    void nudge() {
        const char byte = 0;
        [[maybe_unused]] auto written = ::write(wake[1], &byte, 1);
    }

    void listen() {
        Display* d = connection;
        pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {wake[0], POLLIN, 0}};
        while (!stopping) {
            if (::poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents) {
                char drain[64];
                [[maybe_unused]] auto got = ::read(wake[0], drain, sizeof drain);
            }
            std::vector<int> pressed;
            {
                std::lock_guard lock(mutex);
                while (XPending(d) > 0) {
                    XEvent event;
                    XNextEvent(d, &event);
                    if (event.type != KeyPress && event.type != KeyRelease) continue;
                    const unsigned state = event.xkey.state & kMeaningfulModifiers;
                    for (const auto& [id, grabbed] : grabs) {
                        if (grabbed.keycode != event.xkey.keycode) continue;
                        if (event.type == KeyRelease) {
                            held.erase(id);
                        } else if (grabbed.modifiers == state && held.insert(id).second) {
                            pressed.push_back(id);
                        }
                    }
                }
            }
            for (int id : pressed) handler(id);
        }
    }
};

GlobalHotkeys::GlobalHotkeys(const char* displayName, Handler handler)
    : impl_(std::make_unique<Impl>(displayName)) {
    impl_->handler = std::move(handler);
    if (::pipe2(impl_->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::system_error error(errno, std::generic_category(), "a pipe to wake the key listener");
        ZIMLO_LOG_WARN("x11") << "listening for global hotkeys: " << error.what();
        throw error;
    }
    Bool supported = False;
    // Held keys repeat presses without releases between them, so a hold is one press.
    XkbSetDetectableAutoRepeat(impl_->connection, True, &supported);
    impl_->findNumLock();
    XFlush(impl_->connection);
    impl_->thread = startThread("x11-hotkeys", [impl = impl_.get()] { impl->listen(); });
}

GlobalHotkeys::~GlobalHotkeys() {
    impl_->stopping = true;
    impl_->nudge();
    impl_->thread.join();
    {
        std::lock_guard lock(impl_->mutex);
        for (const auto& [id, grabbed] : impl_->grabs) impl_->ungrab(grabbed);
        // The grabs are gone before another connection may want the same keys.
        XSync(impl_->connection, False);
    }
    ::close(impl_->wake[0]);
    ::close(impl_->wake[1]);
}

GlobalHotkeys::Grab GlobalHotkeys::grab(int id, Combination combination) {
    Grab outcome = Grab::grabbed;
    {
        std::lock_guard lock(impl_->mutex);
        Display* d = impl_->connection;
        if (auto previous = impl_->grabs.find(id); previous != impl_->grabs.end()) {
            impl_->ungrab(previous->second);
            impl_->grabs.erase(previous);
            impl_->held.erase(id);
        }
        const KeyCode keycode = XKeysymToKeycode(d, combination.keysym);
        if (keycode == 0) {
            outcome = Grab::unknownKey;
        } else {
            const Impl::Grabbed grabbed{keycode, combination.modifiers & kMeaningfulModifiers};
            ErrorTrap trap(d);
            for (unsigned extra : impl_->lockVariants())
                XGrabKey(d, keycode, grabbed.modifiers | extra, impl_->root(), False, GrabModeAsync,
                         GrabModeAsync);
            if (trap.sync()) {
                // BadAccess: another client holds at least one variant. What we got goes back.
                impl_->ungrab(grabbed);
                trap.sync();
                outcome = Grab::takenByAnother;
            } else {
                impl_->grabs[id] = grabbed;
            }
        }
    }
    // The sync may have read events the listener has not seen.
    impl_->nudge();
    return outcome;
}

void GlobalHotkeys::release(int id) {
    {
        std::lock_guard lock(impl_->mutex);
        auto found = impl_->grabs.find(id);
        if (found == impl_->grabs.end()) return;
        impl_->ungrab(found->second);
        impl_->grabs.erase(found);
        impl_->held.erase(id);
        XFlush(impl_->connection);
    }
    impl_->nudge();
}

}  // namespace zimlo::x11
