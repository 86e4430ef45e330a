#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/CaptureFrameRate.h"
#include "model/Geometry.h"
#include "platform/runtime/Result.h"
#include "platform/storage/FileError.h"

namespace zimlo {

class SettingsFile;

// A recording resolution offered to the user. Equal when size and label are equal.
struct RecordingResolution {
    int width = 0;
    int height = 0;
    std::string displayName;

    // 720p, 1080p, 4K, in this order.
    static std::span<const RecordingResolution> presets();
    // Label of a size that equals no preset: "最大（W×H）".
    static std::string nativeLabel(int width, int height);

    // Pixel size to capture for a target of `native` pixels: the longer side follows this
    // resolution (never scaled up), the target's aspect is kept, both sides even and >= 2.
    PixelSize captureSize(PixelSize native) const;

    friend bool operator==(const RecordingResolution&, const RecordingResolution&) = default;
};

// Chosen resolution and frame rate. The frame rate is always one of supportedFrameRates(); the
// constructor replaces any other by the default's.
struct RecordingSettings {
    RecordingResolution resolution;
    CaptureFrameRate frameRate;
    // Whether the mouse pointer is drawn into the picture.
    bool showsCursor = true;

    RecordingSettings(RecordingResolution resolution, CaptureFrameRate frameRate);

    // 1920 x 1080 "1080p" at 30 fps.
    static RecordingSettings defaultSettings();
    // 24, 30, 60 (120 is never offered).
    static std::span<const CaptureFrameRate> supportedFrameRates();

    // "1080p · 30fps".
    std::string summary() const;

    friend bool operator==(const RecordingSettings&, const RecordingSettings&) = default;
};

// Resolutions offered for a target of native size w x h pixels: the presets whose longer side
// fits, then the native size itself unless a preset equals it.
std::vector<RecordingResolution> availableResolutions(double width, double height);
// Last offered resolution at 30 fps.
RecordingSettings nativeDefaultSettings(double width, double height);

// Stored form of a resolution: "4K", "1080p", "720p" by size alone, else "WxH".
std::string storageValue(const RecordingResolution& resolution);
// Size named by a stored form; nothing when it names none.
std::optional<PixelSize> parseStorageValue(std::string_view text);

// Remembers the chosen settings in the per-user defaults store. Main thread only.
class RecordingSettingsStore {
  public:
    static constexpr std::string_view resolutionKey = "zimlo.mac.recording.resolution";
    static constexpr std::string_view frameRateKey = "zimlo.mac.recording.frameRate";
    static constexpr std::string_view showsCursorKey = "zimlo.recording.showsCursor";

    // The per-process store over the user's standard defaults, created on first use.
    static std::shared_ptr<RecordingSettingsStore> shared();

    explicit RecordingSettingsStore(std::shared_ptr<SettingsFile> defaults);

    // Stored settings where they name an offered resolution and a known frame rate; the
    // fallback's parts otherwise. Without a fallback: the last offered resolution (or the
    // default's) at the default frame rate.
    RecordingSettings load(const std::vector<RecordingResolution>& available,
                           const std::optional<RecordingSettings>& fallback = std::nullopt) const;
    // Stores the resolution's storageValue (string), the frame rate and whether the pointer
    // shows (integers); the first failed write stops it and says why.
    Result<void, FileError> save(const RecordingSettings& settings) const;

    const std::shared_ptr<SettingsFile>& defaults() const { return defaults_; }

  private:
    std::shared_ptr<SettingsFile> defaults_;
};

}  // namespace zimlo
