#include "app/DraftLibrary.h"

#include <QCoreApplication>
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
    std::vector<ListedDraft> listDrafts() override { return store_->listDrafts(); }
    Result<void, DraftDeletionError> deleteDraft(const ListedDraft& draft) override {
        return store_->deleteDraft(draft);
    }
    Result<RecordingProject, DraftSaveError> renameDraft(
        const ListedDraft& draft, const std::optional<std::string>& title) override {
        return store_->renameDraft(draft, title);
    }

  private:
    std::shared_ptr<DraftStore> store_;
};

class MovieThumbnailGenerator : public DraftThumbnailGenerator {
  public:
    QImage thumbnail(const std::filesystem::path& movie) override {
        // A movie that takes longer than this (a huge or hostile file, a stalled disk) gets no
        // picture rather than a thread of the gallery's for good.
        const auto deadline = std::chrono::steady_clock::now() + kThumbnailTimeLimit;
        auto asset = media::MovieAsset::open(movie, deadline);
        if (!asset) return {};
        media::ImageGenerator generator(*asset);
        generator.appliesPreferredTrackTransform = true;
        generator.maximumSize = Size{420, 420};
        generator.deadline = deadline;
        // 0.1 s, in the 600-per-second timescale movies use.
        auto picture = generator.copyImage(media::MediaTime::make(60, 600));
        if (!picture) return {};
        return toQImage(**picture);
    }
};

}  // namespace

std::shared_ptr<DraftLibrary> makeDraftStoreLibrary(std::shared_ptr<DraftStore> store) {
    return std::make_shared<DraftStoreLibrary>(std::move(store));
}

QString errorDescription(const DraftDeletionError& error) {
    // The store checks a draft whole before removing anything, so these leave it intact.
    const std::error_code& code = error.code;
    QString text;
    if (code == std::errc::permission_denied || code == std::errc::operation_not_permitted)
        text = QCoreApplication::translate("DraftLibrary", "没有权限删除其中的文件，草稿未被删除");
    else if (code == std::errc::cross_device_link)
        text = QCoreApplication::translate("DraftLibrary", "草稿中有其他磁盘的内容，草稿未被删除");
    else
        text = QString::fromStdString(code.message());
    if (!error.path.empty()) {
        text = QCoreApplication::translate("DraftLibrary", "%1（%2）")
                   .arg(text, QString::fromStdString(error.path.string()));
    }
    return text;
}

std::shared_ptr<DraftThumbnailGenerator> makeMovieThumbnailGenerator() {
    return std::make_shared<MovieThumbnailGenerator>();
}

}  // namespace zimlo::app
