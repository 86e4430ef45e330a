#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "sandbox/XvfbServer.h"

namespace zimlo::test {

// One private Xvfb for the whole test program, exported as $DISPLAY.
class XvfbEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        server_ = std::make_unique<sandbox::XvfbServer>();
        server_->exportDisplay();
        displayName() = server_->displayName();
    }
    void TearDown() override { server_.reset(); }

    static std::string& displayName() {
        static std::string name;
        return name;
    }

  private:
    std::unique_ptr<sandbox::XvfbServer> server_;
};

// Registered once per test program, whichever files include this.
inline ::testing::Environment* const kXvfbEnvironment =
    ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

}  // namespace zimlo::test
