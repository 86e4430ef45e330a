#pragma once

#include <QWidget>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "model/DraftStore.h"
#include "model/RecordingProject.h"

class QLabel;
class QMenu;
class QPushButton;
class QScrollArea;

namespace zimlo::app {

class DraftLibrary;
class DraftThumbnailGenerator;
class DraftCard;

// The home gallery: header with "我的作品", the edit toggle and "去录制", and the grid of draft
// cards (newest first). Lists the drafts when created and each time it is about to be shown; the
// listing reads the disk on a background thread, so a slow or hostile drafts folder never holds
// up the window.
class HomeView : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kHeaderHeight = 80;
    static constexpr int kColumnStep = 194;  // card width 170 + 24 between columns
    static constexpr int kRowStep = 254;     // card height 226 + 28 between rows

    HomeView(std::shared_ptr<DraftLibrary> library,
             std::shared_ptr<DraftThumbnailGenerator> thumbnails, QWidget* parent = nullptr);

    std::function<void()> onOpenScreenRecording;
    // Plays the draft's movie (a click on its card, "播放").
    std::function<void(const RecordingProject&)> onOpenDraft;
    // Shows the draft's movie in the file browser ("在文件夹中显示").
    std::function<void(const RecordingProject&)> onRevealDraft;
    // Where "复制到…" saves a copy of `movie`; none: the user cancelled. Empty: a save dialog.
    std::function<std::optional<std::filesystem::path>(const std::filesystem::path& movie)>
        chooseCopyDestination;
    // The new title "重命名" asks for, given the current one; none: the user cancelled. Empty: a
    // text input dialog.
    std::function<std::optional<QString>(const QString& current)> askDraftTitle;

    // Columns for a view `width` wide: the grid is 84 narrower than the view, 194 per column.
    static int columnCount(int width);
    int columnCount() const { return columnCount(width()); }

    // Lists the drafts again; the grid follows when the listing arrives.
    void reloadDrafts();
    // A line beside the title for news the user should see once (recordings recovered after a
    // crash); an empty text hides it.
    void showNotice(const QString& text);
    void rebuildGrid();
    void toggleEditing();
    void confirmDelete(const ListedDraft& draft);
    // The menu of the card at `index`: 播放, 在文件夹中显示, 重命名, 复制到…, 删除. The caller
    // owns it.
    QMenu* makeDraftMenu(size_t index);
    // Saves a copy of the draft's movie at `destination` in the background; a failure is shown.
    void copyDraftMovie(const ListedDraft& draft, const std::filesystem::path& destination);
    // An alert with `title` and `description`, over the window while it is shown.
    void showError(const QString& title, const QString& description);

    std::vector<RecordingProject> drafts() const;
    const std::vector<ListedDraft>& listedDrafts() const { return drafts_; }
    // A listing is on its way.
    bool isListing() const { return isListing_; }
    const std::vector<DraftCard*>& cardViews() const { return cardViews_; }
    bool isEditingDrafts() const { return isEditingDrafts_; }
    int renderedColumnCount() const { return renderedColumnCount_; }

    QLabel* titleLabel() const { return titleLabel_; }
    QPushButton* editButton() const { return editButton_; }
    QPushButton* screenRecordButton() const { return screenRecordButton_; }
    QScrollArea* scrollView() const { return scrollView_; }
    QWidget* gridContainer() const { return gridContainer_; }
    QLabel* emptyStateLabel() const { return emptyStateLabel_; }
    QLabel* noticeLabel() const { return noticeLabel_; }

  protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void buildHeader();
    void layoutSubviews();
    void screenRecordTapped();
    void draftsListed(std::vector<ListedDraft> drafts);
    void performDelete(const ListedDraft& draft);
    void resizeGridContainer();
    void moveCardFocus(size_t from, int key);
    void showDraftMenu(size_t index, QPoint globalPosition);
    void copyTapped(const ListedDraft& draft);
    void renameTapped(const ListedDraft& draft);

    std::shared_ptr<DraftLibrary> library_;
    std::shared_ptr<DraftThumbnailGenerator> thumbnails_;
    QWidget* headerBar_ = nullptr;
    QLabel* titleLabel_ = nullptr;
    QPushButton* editButton_ = nullptr;
    QPushButton* screenRecordButton_ = nullptr;
    QScrollArea* scrollView_ = nullptr;
    QWidget* gridContainer_ = nullptr;
    QLabel* emptyStateLabel_ = nullptr;
    QLabel* noticeLabel_ = nullptr;
    std::vector<ListedDraft> drafts_;
    bool isListing_ = false;
    bool relistWanted_ = false;  // the drafts changed while a listing was on its way
    bool hasListed_ = false;
    std::vector<DraftCard*> cardViews_;
    bool isEditingDrafts_ = false;
    int renderedColumnCount_ = 0;
};

}  // namespace zimlo::app
