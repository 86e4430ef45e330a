#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace zimlo::x11 {

// Key combinations grabbed on the whole X display: pressed while any window has the focus,
// they reach us and no other program. A connection of its own, and a thread that listens on it.
class GlobalHotkeys {
  public:
    // Modifier keys, as the X protocol numbers them.
    enum Modifier : unsigned { shift = 1u << 0, control = 1u << 2, alt = 1u << 3, super = 1u << 6 };
    struct Combination {
        unsigned modifiers = 0;  // of Modifier
        uint32_t keysym = 0;     // an X keysym, e.g. 0x72 for "r"
        friend bool operator==(const Combination&, const Combination&) = default;
    };
    enum class Grab {
        grabbed,
        takenByAnother,  // another program holds it already
        unknownKey,      // no key of the keyboard makes that symbol
    };
    // Called on the listening thread with the id of the combination pressed (once per press,
    // however long the key is held).
    using Handler = std::function<void(int id)>;

    // Throws screen::CaptureError when the display cannot be opened, std::system_error when the
    // listener cannot start.
    GlobalHotkeys(const char* displayName, Handler handler);
    ~GlobalHotkeys();
    GlobalHotkeys(const GlobalHotkeys&) = delete;
    GlobalHotkeys& operator=(const GlobalHotkeys&) = delete;

    // Grabs `combination` for `id`, giving up what `id` held before. Caps Lock and Num Lock do
    // not matter. On failure `id` holds nothing.
    Grab grab(int id, Combination combination);
    void release(int id);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace zimlo::x11
