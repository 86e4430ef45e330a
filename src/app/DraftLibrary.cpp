#include "app/DraftLibrary.h"

#include <filesystem>
#include <string>

#include "app/ImageConversion.h"
#include "model/DraftStore.h"
#include "platform/media/AssetReader.h"

namespace zimlo::app {
namespace {

class DraftStoreLibrary : public DraftLibrary {
  public:
    explicit DraftStoreLibrary(std::shared_ptr<DraftStore> store) : store_(std::move(store)) {}
    std::vector<RecordingProject> loadDrafts() override { return store_->loadDrafts(); }
    void deleteDraft(const Uuid& id) override { store_->deleteDraft(id); }

  private:
    std::shared_ptr<DraftStore> store_;
};

class MovieThumbnailGenerator : public DraftThumbnailGenerator {
  public:
    QImage thumbnail(const std::filesystem::path& movie) override {
        std::string error;
        auto asset = media::MovieAsset::open(movie, error);
        if (!asset) return {};
        media::ImageGenerator generator(asset);
        generator.appliesPreferredTrackTransform = true;
        generator.maximumSize = media::PixelSize{420, 420};
        // 0.1 s, in the 600-per-second timescale movies use.
        auto picture = generator.copyImage(media::MediaTime::make(60, 600), error);
        if (!picture) return {};
        return toQImage(*picture);
    }
};

}  // namespace

std::shared_ptr<DraftLibrary> makeDraftStoreLibrary() {
    return std::make_shared<DraftStoreLibrary>(DraftStore::shared());
}

QString errorDescription(const std::exception& error) {
    if (const auto* fsError = dynamic_cast<const std::filesystem::filesystem_error*>(&error)) {
        QString text = QString::fromStdString(fsError->code().message());
        if (!fsError->path1().empty()) {
            text += QStringLiteral("（") + QString::fromStdString(fsError->path1().string()) +
                    QStringLiteral("）");
        }
        return text;
    }
    return QString::fromStdString(error.what());
}

std::shared_ptr<DraftThumbnailGenerator> makeMovieThumbnailGenerator() {
    return std::make_shared<MovieThumbnailGenerator>();
}

}  // namespace zimlo::app
