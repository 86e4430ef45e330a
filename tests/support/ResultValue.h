#pragma once

#include <gtest/gtest.h>

#include <utility>

#include "platform/runtime/Result.h"

namespace zimlo::test {

// The value a test goes on with; on failure the error is recorded as a test failure and a
// default (for pointers: null) value comes back, for the test's own ASSERT to stop at.
template <typename T, typename E>
T valueOrFailure(Result<T, E> result) {
    if (result.ok()) return std::move(result).value();
    ADD_FAILURE() << result.error();
    return T{};
}

}  // namespace zimlo::test
