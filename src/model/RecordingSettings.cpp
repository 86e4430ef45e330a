#include "model/RecordingSettings.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cmath>

#include "platform/i18n/Translation.h"
#include "platform/storage/SettingsFile.h"

namespace zimlo {

namespace {

const std::array<RecordingResolution, 3>& presetList() {
    static const std::array<RecordingResolution, 3> presets = {{
        {1280, 720, "720p"},
        {1920, 1080, "1080p"},
        {3840, 2160, "4K"},
    }};
    return presets;
}

constexpr std::array<CaptureFrameRate, 3> kSupportedFrameRates = {
    CaptureFrameRate::fps24, CaptureFrameRate::fps30, CaptureFrameRate::fps60};

// Nearest integer, halves away from zero.
int roundToInt(double value) { return static_cast<int>(std::lround(value)); }

}  // namespace

std::span<const RecordingResolution> RecordingResolution::presets() { return presetList(); }

std::string RecordingResolution::nativeLabel(int width, int height) {
    return withArguments(translate("RecordingSettings", "最大（%1×%2）"),
                         {std::to_string(width), std::to_string(height)});
}

PixelSize RecordingResolution::captureSize(PixelSize native) const {
    int nativeWidth = std::max(native.width, 2);
    int nativeHeight = std::max(native.height, 2);
    int longSide = std::max(nativeWidth, nativeHeight);
    int target = std::min(std::max(width, height), longSide);  // never scale up
    double scale = static_cast<double>(target) / longSide;
    auto evenAtLeastTwo = [](int value) { return std::max(value, 2) & ~1; };
    return PixelSize{evenAtLeastTwo(roundToInt(scale * nativeWidth)),
                     evenAtLeastTwo(roundToInt(scale * nativeHeight))};
}

RecordingSettings::RecordingSettings(RecordingResolution resolution, CaptureFrameRate frameRate)
    : resolution(std::move(resolution)), frameRate(frameRate) {
    if (std::find(kSupportedFrameRates.begin(), kSupportedFrameRates.end(), frameRate) ==
        kSupportedFrameRates.end())
        this->frameRate = CaptureFrameRate::fps30;
}

RecordingSettings RecordingSettings::defaultSettings() {
    return RecordingSettings(presetList()[1], CaptureFrameRate::fps30);
}

std::span<const CaptureFrameRate> RecordingSettings::supportedFrameRates() {
    return kSupportedFrameRates;
}

std::string RecordingSettings::summary() const {
    return resolution.displayName + " · " + std::to_string(rawValue(frameRate)) + "fps";
}

std::vector<RecordingResolution> availableResolutions(double width, double height) {
    int nativeWidth = std::max(roundToInt(width), 2);
    int nativeHeight = std::max(roundToInt(height), 2);
    int longSide = std::max(nativeWidth, nativeHeight);
    std::vector<RecordingResolution> list;
    bool nativeOffered = false;
    for (const auto& preset : presetList()) {
        if (std::max(preset.width, preset.height) > longSide) continue;
        list.push_back(preset);
        if (preset.width == nativeWidth && preset.height == nativeHeight) nativeOffered = true;
    }
    if (!nativeOffered)
        list.push_back({nativeWidth, nativeHeight,
                        RecordingResolution::nativeLabel(nativeWidth, nativeHeight)});
    return list;
}

RecordingSettings nativeDefaultSettings(double width, double height) {
    auto list = availableResolutions(width, height);
    if (list.empty()) return RecordingSettings(presetList()[2], CaptureFrameRate::fps30);
    return RecordingSettings(list.back(), CaptureFrameRate::fps30);
}

std::string storageValue(const RecordingResolution& resolution) {
    for (const auto& preset : presetList())
        if (preset.width == resolution.width && preset.height == resolution.height)
            return preset.displayName;
    return std::to_string(resolution.width) + "x" + std::to_string(resolution.height);
}

std::optional<PixelSize> parseStorageValue(std::string_view text) {
    for (const auto& preset : presetList())
        if (text == preset.displayName) return PixelSize{preset.width, preset.height};
    std::vector<long long> numbers;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = std::min(text.find('x', start), text.size());
        std::string_view piece = text.substr(start, end - start);
        start = end + 1;
        if (piece.empty()) continue;
        if (piece.size() > 1 && piece.front() == '+') piece.remove_prefix(1);
        long long value = 0;
        auto [last, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
        if (error == std::errc() && last == piece.data() + piece.size()) numbers.push_back(value);
    }
    if (numbers.size() != 2 || numbers[0] < 1 || numbers[1] < 1) return std::nullopt;
    if (numbers[0] > INT_MAX || numbers[1] > INT_MAX) return std::nullopt;
    return PixelSize{std::max(static_cast<int>(numbers[0]), 2),
                     std::max(static_cast<int>(numbers[1]), 2)};
}

std::shared_ptr<RecordingSettingsStore> RecordingSettingsStore::shared() {
    static auto instance = std::make_shared<RecordingSettingsStore>(SettingsFile::standard());
    return instance;
}

RecordingSettingsStore::RecordingSettingsStore(std::shared_ptr<SettingsFile> defaults)
    : defaults_(std::move(defaults)) {}

RecordingSettings RecordingSettingsStore::load(
    const std::vector<RecordingResolution>& available,
    const std::optional<RecordingSettings>& fallback) const {
    RecordingSettings base = fallback.value_or(RecordingSettings(
        available.empty() ? RecordingSettings::defaultSettings().resolution : available.back(),
        RecordingSettings::defaultSettings().frameRate));

    RecordingResolution resolution = base.resolution;
    if (auto stored = defaults_->string(resolutionKey)) {
        if (auto size = parseStorageValue(*stored)) {
            auto match = std::find_if(available.begin(), available.end(), [&](const auto& entry) {
                return entry.width == size->width && entry.height == size->height;
            });
            if (match != available.end()) resolution = *match;
        }
    }
    CaptureFrameRate frameRate = base.frameRate;
    int64_t storedRate = defaults_->integer(frameRateKey);
    if (storedRate >= INT_MIN && storedRate <= INT_MAX)
        if (auto rate = captureFrameRateFromRaw(static_cast<int>(storedRate))) frameRate = *rate;
    RecordingSettings settings(resolution, frameRate);
    settings.showsCursor = defaults_->contains(showsCursorKey)
                               ? defaults_->integer(showsCursorKey) != 0
                               : base.showsCursor;
    return settings;
}

Result<void, FileError> RecordingSettingsStore::save(const RecordingSettings& settings) const {
    if (auto stored = defaults_->setString(resolutionKey, storageValue(settings.resolution));
        !stored)
        return stored;
    if (auto stored = defaults_->setInteger(frameRateKey, rawValue(settings.frameRate)); !stored)
        return stored;
    return defaults_->setInteger(showsCursorKey, settings.showsCursor ? 1 : 0);
}

}  // namespace zimlo
