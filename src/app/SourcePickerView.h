#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "capture/ScreenCaptureTarget.h"

class QLabel;
class QPushButton;
class QScrollArea;
class QToolButton;
class QVBoxLayout;

namespace zimlo::app {

class SourceCardView;
class SourcePickerServices;

// Lists every display and window as a card, three per row; a click (or Space, or an arrow key
// moving there) selects the target and borders it on screen, "确认" (or Return) hands it on to
// record; Escape goes back.
class SourcePickerView : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kColumns = 3;

    explicit SourcePickerView(std::shared_ptr<SourcePickerServices> services,
                              QWidget* parent = nullptr);
    ~SourcePickerView() override;

    std::function<void(const capture::ScreenCaptureTarget&)> onStartRecording;
    std::function<void()> onBack;

    void reloadTargets();
    void selectTarget(const capture::ScreenCaptureTarget& target);
    void backTapped();
    void startTapped();

    const std::vector<capture::ScreenCaptureTarget>& targets() const { return targets_; }
    const std::optional<capture::ScreenCaptureTarget>& selectedTarget() const {
        return selectedTarget_;
    }
    const std::vector<SourceCardView*>& cardViews() const { return cardViews_; }
    // The grid's rows, each with its three entries: cards, then empty fillers.
    std::vector<std::vector<QWidget*>> gridRows() const;

    QLabel* titleLabel() const { return titleLabel_; }
    QLabel* subtitleLabel() const { return subtitleLabel_; }
    QLabel* statusLabel() const { return statusLabel_; }
    QPushButton* refreshButton() const { return refreshButton_; }
    QPushButton* startButton() const { return startButton_; }
    QToolButton* backButton() const { return backButton_; }

  protected:
    void hideEvent(QHideEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void buildInterface();
    void rebuildGrid();
    void loadThumbnails();
    void updateColumnSpacing();
    void moveCardFocus(size_t from, int key);
    void focusSelectedCard();
    void showPermissionAlert();

    std::shared_ptr<SourcePickerServices> services_;
    QScrollArea* scrollView_ = nullptr;
    QWidget* gridView_ = nullptr;
    QVBoxLayout* gridLayout_ = nullptr;
    QLabel* titleLabel_ = nullptr;
    QLabel* subtitleLabel_ = nullptr;
    QPushButton* refreshButton_ = nullptr;
    QToolButton* backButton_ = nullptr;
    QPushButton* startButton_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    std::vector<capture::ScreenCaptureTarget> targets_;
    std::optional<capture::ScreenCaptureTarget> selectedTarget_;
    std::vector<SourceCardView*> cardViews_;
    std::vector<QWidget*> rows_;
};

}  // namespace zimlo::app
