#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDateTime>
#include <QImage>
#include <QMessageBox>
#include <QString>
#include <QWidget>
#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/DraftLibrary.h"
#include "app/SourcePickerServices.h"
#include "model/RecordingProject.h"
#include "platform/runtime/MainQueue.h"

// Fakes of what the shell reaches outside itself, and helpers to answer its alerts.
namespace zimlo::apptest {

inline RecordingProject makeDraft(int n, QDateTime createdAt, double duration,
                                  bool withMovie = true) {
    RecordingProject p;
    p.id = Uuid::generate();
    p.createdAt = Date::fromSecondsSince1970(createdAt.toMSecsSinceEpoch() / 1000.0);
    p.duration = duration;
    p.isDraft = true;
    if (withMovie)
        p.mainVideo = std::filesystem::path("/drafts/" + std::to_string(n) + "/main.mp4");
    return p;
}

// Drafts listed from "/drafts/<index>"; the gallery lists on a background thread, so the test
// changes `drafts` only while no listing is on its way.
class FakeLibrary : public app::DraftLibrary {
  public:
    std::vector<RecordingProject> drafts;
    std::vector<Uuid> deleted;
    std::optional<DraftDeletionError> failure;  // what deleteDraft reports when set

    std::vector<ListedDraft> listDrafts() override {
        std::vector<ListedDraft> listed;
        for (size_t i = 0; i < drafts.size(); ++i)
            listed.push_back({drafts[i], "/drafts/" + drafts[i].id.uuidString()});
        return listed;
    }
    Result<void, DraftDeletionError> deleteDraft(const ListedDraft& draft) override {
        if (failure) return fail(*failure);
        deleted.push_back(draft.project.id);
        std::erase_if(drafts, [&](const RecordingProject& p) { return p.id == draft.project.id; });
        return {};
    }
    Result<RecordingProject, DraftSaveError> renameDraft(
        const ListedDraft& draft, const std::optional<std::string>& title) override {
        for (RecordingProject& p : drafts) {
            if (p.id != draft.project.id) continue;
            p.title = title;
            return p;
        }
        return fail(DraftSaveError{draft.directory,
                                   std::make_error_code(std::errc::no_such_file_or_directory),
                                   "no such draft"});
    }
    ListedDraft listed(size_t index) const {
        return {drafts.at(index), "/drafts/" + drafts.at(index).id.uuidString()};
    }
};

// A flat picture per movie; movies named in `unreadable` give none.
class FakeThumbnails : public app::DraftThumbnailGenerator {
  public:
    std::vector<std::string> unreadable;
    QImage thumbnail(const std::filesystem::path& movie) override {
        {
            std::lock_guard lock(mutex_);
            requested_.push_back(movie);
            for (const auto& u : unreadable) {
                if (movie.string() == u) return {};
            }
        }
        QImage image(320, 180, QImage::Format_ARGB32);
        const int hue = static_cast<int>(std::hash<std::string>()(movie.string()) % 360);
        image.fill(QColor::fromHsv(hue, 120, 200));
        return image;
    }
    std::vector<std::filesystem::path> requested() {
        std::lock_guard lock(mutex_);
        return requested_;
    }

  private:
    std::mutex mutex_;
    std::vector<std::filesystem::path> requested_;
};

inline capture::ScreenCaptureTarget makeWindowTarget(uint32_t id, std::string title,
                                                     std::string app) {
    capture::ScreenCaptureTarget t;
    t.id = "window-" + std::to_string(id);
    t.title = std::move(title);
    t.subtitle = app;
    t.icon = capture::TargetImage::symbol("app.dashed");
    x11::WindowInfo w;
    w.id = id;
    w.applicationName = std::move(app);
    w.frame = {100, 100, 800, 600};
    t.kind.payload = w;
    return t;
}

inline capture::ScreenCaptureTarget makeDisplayTarget(uint32_t id, int index) {
    capture::ScreenCaptureTarget t;
    t.id = "display-" + std::to_string(id);
    t.title = "桌面 " + std::to_string(index);
    t.subtitle = "1920 × 1080";
    t.icon = capture::TargetImage::symbol("desktopcomputer");
    x11::DisplayInfo d;
    d.id = id;
    d.frame = {0, 0, 1920, 1080};
    t.kind.payload = d;
    return t;
}

// Answers on the main queue, like the real provider; records highlight calls and border state.
class FakePickerServices : public app::SourcePickerServices {
  public:
    TargetsResult listing = std::vector<capture::ScreenCaptureTarget>{};
    std::vector<std::string> noThumbnail;  // target ids whose thumbnail fails
    std::vector<std::string> locatable;    // target ids highlight() reports as located
    std::vector<std::string> highlighted;
    bool borderShown = false;
    int listings = 0;

    void loadTargets(std::function<void(TargetsResult)> completion) override {
        ++listings;
        MainQueue::post([completion, result = listing] { completion(result); });
    }
    void loadThumbnail(
        const capture::ScreenCaptureTarget& target,
        std::function<void(std::optional<capture::TargetImage>)> completion) override {
        std::optional<capture::TargetImage> image;
        if (std::find(noThumbnail.begin(), noThumbnail.end(), target.id) == noThumbnail.end()) {
            auto pixels = std::make_shared<media::PixelBuffer>(520, 293, media::PixelFormat::BGRA);
            for (int y = 0; y < pixels->height(); ++y) {
                uint8_t* row = pixels->data() + y * pixels->stride();
                for (int x = 0; x < pixels->width(); ++x) {
                    row[4 * x + 0] = static_cast<uint8_t>(90 + y / 3);
                    row[4 * x + 1] = static_cast<uint8_t>(60 + x / 5);
                    row[4 * x + 2] = 70;
                    row[4 * x + 3] = 255;
                }
            }
            image = capture::TargetImage::image(pixels);
        }
        MainQueue::post([completion, image] { completion(image); });
    }
    bool highlight(const capture::ScreenCaptureTarget& target) override {
        highlighted.push_back(target.id);
        borderShown = true;
        return std::find(locatable.begin(), locatable.end(), target.id) != locatable.end();
    }
    void hideHighlight() override { borderShown = false; }
};

// The visible message box, window-modal on `window` or free-standing.
inline QMessageBox* visibleAlert() {
    for (QWidget* w : QApplication::allWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box && box->isVisible()) return box;
    }
    return nullptr;
}

inline std::vector<QString> buttonTexts(QMessageBox* box) {
    std::vector<QString> texts;
    for (QAbstractButton* b : box->buttons()) texts.push_back(b->text());
    return texts;
}

inline bool clickButton(QMessageBox* box, const QString& text) {
    for (QAbstractButton* b : box->buttons()) {
        if (b->text() == text) {
            b->click();
            return true;
        }
    }
    return false;
}

}  // namespace zimlo::apptest
