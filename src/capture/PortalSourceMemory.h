#pragma once

#include <memory>
#include <optional>
#include <string>

#include "capture/ScreenCaptureTarget.h"

namespace zimlo {
class SettingsFile;
}

namespace zimlo::capture {

// What Zimlo keeps between recordings of a portal source, per kind (monitor, window), in the
// user-defaults store under keys of its own: the portal's restore token (so the next recording
// of the same source starts without the chooser) and the stream size last seen.
class PortalSourceMemory {
  public:
    // Empty: the user's standard store.
    explicit PortalSourceMemory(std::shared_ptr<SettingsFile> defaults = nullptr);

    // "zimlo.portal.monitor.restoreToken", "zimlo.portal.window.size", …
    static std::string tokenKey(PortalSource::Type type);
    static std::string sizeKey(PortalSource::Type type);

    std::optional<std::string> restoreToken(PortalSource::Type type) const;
    std::optional<PixelSize> lastSize(PortalSource::Type type) const;
    // Stores the token of a started session (tokens are single-use: each start gives a new one;
    // none removes the old) and the size it announced.
    void remember(PortalSource::Type type, const std::optional<std::string>& token,
                  const std::optional<PixelSize>& size);
    void forgetToken(PortalSource::Type type);

  private:
    std::shared_ptr<SettingsFile> defaults_;
};

}  // namespace zimlo::capture
