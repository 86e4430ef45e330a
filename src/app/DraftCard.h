#pragma once

#include <QImage>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "model/RecordingProject.h"
#include "model/Uuid.h"

class QLabel;
class QToolButton;

namespace zimlo::app {

class DraftThumbnailGenerator;

// One draft in the home gallery: first picture, duration and "草稿" badges, date title, and a
// delete button shown in edit mode. Clicking (or Return on the focused card) opens; right-clicking
// (or the menu key) offers the card's menu; Delete in edit mode asks to delete.
class DraftCard : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kWidth = 170;
    static constexpr int kHeight = 226;
    static constexpr int kThumbnailHeight = 190;

    DraftCard(const RecordingProject& project, std::shared_ptr<DraftThumbnailGenerator> thumbnails,
              QWidget* parent = nullptr);
    ~DraftCard() override;

    std::function<void()> onOpen;
    std::function<void()> onDelete;
    // The context menu at `globalPosition`.
    std::function<void(QPoint globalPosition)> onMenu;
    // An arrow key (or Home/End) pressed on the focused card.
    std::function<void(int key)> onArrowKey;

    // Shows `project`: title, badges, and a thumbnail fetched in the background.
    void configure(const RecordingProject& project);
    // Takes a thumbnail for project `id`; dropped when the card shows another project by now.
    void applyThumbnail(const Uuid& id, const QImage& image);

    void setEditingDrafts(bool editing);
    bool isEditingDrafts() const { return isEditingDrafts_; }

    const std::optional<Uuid>& currentID() const { return currentID_; }
    const QImage& thumbnail() const { return thumbnail_; }
    QLabel* titleLabel() const { return titleLabel_; }
    QLabel* durationLabel() const { return durationLabel_; }
    QLabel* tagLabel() const { return tagLabel_; }
    QToolButton* deleteButton() const { return deleteButton_; }

    QSize sizeHint() const override { return {kWidth, kHeight}; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool event(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

  private:
    void deleteTapped();

    std::shared_ptr<DraftThumbnailGenerator> thumbnails_;
    QImage thumbnail_;
    QLabel* titleLabel_;
    QLabel* durationLabel_;
    QLabel* tagLabel_;
    QToolButton* deleteButton_;
    std::optional<Uuid> currentID_;
    bool isEditingDrafts_ = false;
    // Whether the thumbnail asked for last is still wanted (a request that has not started by
    // the time the card shows another draft, or is gone, is skipped).
    std::shared_ptr<std::atomic<bool>> thumbnailWanted_;
};

}  // namespace zimlo::app
