#include <gtest/gtest.h>
#include <unistd.h>

#include "model/RecordingSettings.h"
#include "platform/storage/SettingsFile.h"

namespace zimlo {
namespace {

std::vector<std::string> labels(const std::vector<RecordingResolution>& list) {
    std::vector<std::string> result;
    for (const auto& r : list)
        result.push_back(std::to_string(r.width) + "x" + std::to_string(r.height) + " " +
                         r.displayName);
    return result;
}

TEST(RecordingSettingsTest, OfferedResolutions) {
    using V = std::vector<std::string>;
    EXPECT_EQ(labels(availableResolutions(2880, 1800)),
              (V{"1280x720 720p", "1920x1080 1080p", "2880x1800 最大（2880×1800）"}));
    EXPECT_EQ(labels(availableResolutions(1920, 1080)), (V{"1280x720 720p", "1920x1080 1080p"}));
    EXPECT_EQ(labels(availableResolutions(3840, 2160)),
              (V{"1280x720 720p", "1920x1080 1080p", "3840x2160 4K"}));
    EXPECT_EQ(labels(availableResolutions(1080, 1920)),
              (V{"1280x720 720p", "1920x1080 1080p", "1080x1920 最大（1080×1920）"}));
    EXPECT_EQ(labels(availableResolutions(800, 600)), (V{"800x600 最大（800×600）"}));
    EXPECT_EQ(labels(availableResolutions(1279.5, 719.5)),
              (V{"1280x720 720p"}));  // halves round up
    EXPECT_EQ(labels(availableResolutions(0.4, 1)), (V{"2x2 最大（2×2）"}));

    EXPECT_EQ(nativeDefaultSettings(2880, 1800),
              RecordingSettings({2880, 1800, "最大（2880×1800）"}, CaptureFrameRate::fps30));
}

TEST(RecordingSettingsTest, CaptureSize) {
    auto size = [](RecordingResolution r, int w, int h) {
        PixelSize s = r.captureSize({w, h});
        return std::to_string(s.width) + "x" + std::to_string(s.height);
    };
    RecordingResolution p720{1280, 720, "720p"}, p1080{1920, 1080, "1080p"};
    EXPECT_EQ(size(p1080, 2880, 1800), "1920x1200");
    EXPECT_EQ(size(p720, 2880, 1800), "1280x800");
    EXPECT_EQ(size({2880, 1800, "n"}, 2880, 1800), "2880x1800");
    EXPECT_EQ(size(p1080, 1080, 1920), "1080x1920");
    EXPECT_EQ(size(p1080, 1366, 768), "1366x768");  // never scaled up
    EXPECT_EQ(size({1921, 1081, "n"}, 1921, 1081), "1920x1080");
    EXPECT_EQ(size(p720, 1, 0), "2x2");
    EXPECT_EQ(size(p720, 3000, 3), "1280x2");
}

TEST(RecordingSettingsTest, SettingsRecord) {
    auto s = RecordingSettings::defaultSettings();
    EXPECT_EQ(s.resolution, (RecordingResolution{1920, 1080, "1080p"}));
    EXPECT_EQ(s.frameRate, CaptureFrameRate::fps30);
    EXPECT_EQ(s.summary(), "1080p · 30fps");
    EXPECT_EQ(RecordingSettings(s.resolution, CaptureFrameRate::fps120).frameRate,
              CaptureFrameRate::fps30);
    EXPECT_EQ(RecordingSettings(s.resolution, CaptureFrameRate::fps60).frameRate,
              CaptureFrameRate::fps60);
    ASSERT_EQ(RecordingSettings::supportedFrameRates().size(), 3u);
    EXPECT_EQ(RecordingSettings::supportedFrameRates()[2], CaptureFrameRate::fps60);
}

TEST(RecordingSettingsTest, StorageValues) {
    EXPECT_EQ(storageValue({1920, 1080, "最大（1920×1080）"}), "1080p");
    EXPECT_EQ(storageValue({3840, 2160, "x"}), "4K");
    EXPECT_EQ(storageValue({2880, 1800, "最大（2880×1800）"}), "2880x1800");
    auto parsed = [](const char* text) {
        auto s = parseStorageValue(text);
        return s ? std::to_string(s->width) + "x" + std::to_string(s->height) : "none";
    };
    EXPECT_EQ(parsed("720p"), "1280x720");
    EXPECT_EQ(parsed("4K"), "3840x2160");
    EXPECT_EQ(parsed("4k"), "none");
    EXPECT_EQ(parsed("0x1080"), "none");
    EXPECT_EQ(parsed("1920"), "none");
    EXPECT_EQ(parsed("1920x1080x5"), "none");
    EXPECT_EQ(parsed("99999999999x1080"), "none");
}

class SettingsStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "zimlo-settings-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        defaults = std::make_shared<SettingsFile>(dir / "defaults.json");
        store = std::make_unique<RecordingSettingsStore>(defaults);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::filesystem::path dir;
    std::shared_ptr<SettingsFile> defaults;
    std::unique_ptr<RecordingSettingsStore> store;
    std::vector<RecordingResolution> retina = availableResolutions(2880, 1800);
    RecordingSettings fallback = nativeDefaultSettings(2880, 1800);
};

TEST_F(SettingsStoreTest, LoadFallsBackPartByPart) {
    EXPECT_EQ(store->load(retina, fallback), fallback);  // nothing stored

    ASSERT_TRUE(
        defaults->setString(RecordingSettingsStore::resolutionKey, "4K"));  // not offered here
    ASSERT_TRUE(defaults->setInteger(RecordingSettingsStore::frameRateKey, 60));
    EXPECT_EQ(store->load(retina, fallback),
              RecordingSettings(retina.back(), CaptureFrameRate::fps60));

    ASSERT_TRUE(defaults->setString(RecordingSettingsStore::resolutionKey, "2880x1800"));
    ASSERT_TRUE(defaults->setInteger(RecordingSettingsStore::frameRateKey, 120));
    auto loaded = store->load(retina, fallback);
    EXPECT_EQ(loaded.resolution.displayName, "最大（2880×1800）");
    EXPECT_EQ(loaded.frameRate, CaptureFrameRate::fps30);

    ASSERT_TRUE(defaults->setString(RecordingSettingsStore::resolutionKey, "1920x1080"));
    ASSERT_TRUE(defaults->setInteger(RecordingSettingsStore::frameRateKey, 25));
    RecordingSettings slow(retina.back(), CaptureFrameRate::fps24);
    loaded = store->load(retina, slow);
    EXPECT_EQ(loaded.resolution.displayName, "1080p");  // matched by size, preset label
    EXPECT_EQ(loaded.frameRate, CaptureFrameRate::fps24);

    ASSERT_TRUE(defaults->remove(RecordingSettingsStore::resolutionKey));
    ASSERT_TRUE(defaults->remove(RecordingSettingsStore::frameRateKey));
    EXPECT_EQ(store->load(retina), RecordingSettings(retina.back(), CaptureFrameRate::fps30));
    EXPECT_EQ(store->load({}), RecordingSettings::defaultSettings());
}

TEST_F(SettingsStoreTest, SaveWritesStoredForms) {
    ASSERT_TRUE(
        store->save(RecordingSettings({1920, 1080, "最大（1920×1080）"}, CaptureFrameRate::fps24)));
    EXPECT_EQ(defaults->string(RecordingSettingsStore::resolutionKey), "1080p");
    EXPECT_EQ(defaults->integer(RecordingSettingsStore::frameRateKey), 24);
    ASSERT_TRUE(store->save(RecordingSettings(retina.back(), CaptureFrameRate::fps60)));
    EXPECT_EQ(SettingsFile(dir / "defaults.json").string(RecordingSettingsStore::resolutionKey),
              "2880x1800");
    EXPECT_EQ(store->load(retina, fallback),
              RecordingSettings(retina.back(), CaptureFrameRate::fps60));

    // The pointer: shown until the user turns it off, and off from then on.
    EXPECT_TRUE(store->load(retina, fallback).showsCursor);
    RecordingSettings withoutPointer(retina.back(), CaptureFrameRate::fps60);
    withoutPointer.showsCursor = false;
    ASSERT_TRUE(store->save(withoutPointer));
    EXPECT_EQ(defaults->integer(RecordingSettingsStore::showsCursorKey), 0);
    EXPECT_EQ(RecordingSettingsStore(std::make_shared<SettingsFile>(dir / "defaults.json"))
                  .load(retina, fallback),
              withoutPointer);
}

}  // namespace
}  // namespace zimlo
