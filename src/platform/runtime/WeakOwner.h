#pragma once

#include <memory>
#include <utility>

namespace zimlo {

// Wraps a callback so that it holds its owner weakly: once the owner is gone the callback does
// nothing. `body` receives the owner (as a reference) followed by the callback's own arguments.
//
//   source->onFinish = weakly(controller, [](Controller& self, Result r) { self.finished(r); });
//
// The owner may be given as a weak pointer too (weak_from_this(), say).
template <typename Owner, typename Body>
auto weakly(std::weak_ptr<Owner> owner, Body body) {
    return [weak = std::move(owner), body = std::move(body)](auto&&... args) {
        if (auto strong = weak.lock()) body(*strong, std::forward<decltype(args)>(args)...);
    };
}

template <typename Owner, typename Body>
auto weakly(const std::shared_ptr<Owner>& owner, Body body) {
    return weakly(std::weak_ptr<Owner>(owner), std::move(body));
}

}  // namespace zimlo
