#include "app/SourcePickerView.h"

#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "app/AppStyle.h"
#include "app/ImageConversion.h"
#include "app/SourceCardView.h"
#include "app/SourcePickerServices.h"
#include "recording/KeyboardActivation.h"
#include "recording/PermissionAlert.h"

namespace zimlo::app {
namespace {

constexpr int kRowSpacing = 28;
constexpr int kColumnSpacing = 34;

void setTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    widget->setPalette(palette);
}

}  // namespace

SourcePickerView::SourcePickerView(std::shared_ptr<SourcePickerServices> services, QWidget* parent)
    : QWidget(parent), services_(std::move(services)) {
    buildInterface();
    reloadTargets();
}

SourcePickerView::~SourcePickerView() { services_->hideHighlight(); }

void SourcePickerView::buildInterface() {
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, style::windowBackground());
    setPalette(palette);

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(42, 28, 42, 24);
    root->setSpacing(0);

    // Header: back button and title, the subtitle below; refresh and confirm on the right.
    auto* header = new QHBoxLayout;
    header->setSpacing(10);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(6);
    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(10);

    backButton_ = new QToolButton(this);
    backButton_->setFixedSize(28, 28);
    backButton_->setAutoRaise(true);
    backButton_->setIcon(QIcon(QPixmap::fromImage(
        tinted(QImage(QStringLiteral(":/images/nav_back.png")), style::label()))));
    backButton_->setIconSize(QSize(28, 28));
    backButton_->setStyleSheet(
        QStringLiteral("QToolButton { border: none; background: transparent; border-radius: 6px; }"
                       "QToolButton:hover { background: rgba(255,255,255,0.08); }"));
    backButton_->setCursor(Qt::PointingHandCursor);
    backButton_->setToolTip(tr("返回"));
    backButton_->setAccessibleName(tr("返回"));
    connect(backButton_, &QToolButton::clicked, this, [this] { backTapped(); });

    titleLabel_ = new QLabel(tr("选择录屏内容"), this);
    titleLabel_->setFont(style::font(30, QFont::DemiBold));
    setTextColor(titleLabel_, style::label());
    titleRow->addWidget(backButton_, 0, Qt::AlignVCenter);
    titleRow->addWidget(titleLabel_, 0, Qt::AlignVCenter);
    titleRow->addStretch(1);

    subtitleLabel_ = new QLabel(tr("支持选择桌面、所有桌面中正在展示的 App "
                                   "窗口，在开始录制页面支持打开电脑摄像头作为小窗口。"),
                                this);
    subtitleLabel_->setFont(style::font(14, QFont::Medium));
    subtitleLabel_->setWordWrap(true);
    setTextColor(subtitleLabel_, style::secondaryLabel());
    titles->addLayout(titleRow);
    titles->addWidget(subtitleLabel_);

    refreshButton_ = new QPushButton(tr("刷新"), this);
    style::roundedButton(refreshButton_);
    connect(refreshButton_, &QPushButton::clicked, this, [this] { reloadTargets(); });
    startButton_ = new QPushButton(tr("确认"), this);
    style::roundedButton(startButton_, true);
    startButton_->setEnabled(false);
    connect(startButton_, &QPushButton::clicked, this, [this] { startTapped(); });
    // Return confirms, as the default button of the page (a focused button takes it itself).
    for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
        recording::addDefaultKey(this, QKeySequence(key), [this] {
            if (startButton_->isEnabled()) startButton_->click();
        });
    }
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape->setContext(Qt::WindowShortcut);
    connect(escape, &QShortcut::activated, this, [this] {
        if (isVisible()) backTapped();
    });

    header->addLayout(titles, 1);
    header->addSpacing(16);
    header->addWidget(refreshButton_, 0, Qt::AlignVCenter);
    header->addWidget(startButton_, 0, Qt::AlignVCenter);
    root->addLayout(header);
    root->addSpacing(30);

    scrollView_ = new QScrollArea(this);
    scrollView_->setFocusPolicy(Qt::NoFocus);  // the cards take the focus, not their frame
    scrollView_->setFrameShape(QFrame::NoFrame);
    scrollView_->setWidgetResizable(true);
    scrollView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scrollView_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    style::slimScrollBars(scrollView_);
    scrollView_->viewport()->setAutoFillBackground(false);
    gridView_ = new QWidget;
    gridView_->setAutoFillBackground(false);
    gridLayout_ = new QVBoxLayout(gridView_);
    gridLayout_->setContentsMargins(0, 0, 0, 8);
    gridLayout_->setSpacing(kRowSpacing);
    gridLayout_->addStretch(1);
    scrollView_->setWidget(gridView_);
    root->addWidget(scrollView_, 1);
    root->addSpacing(16);

    statusLabel_ = new QLabel(this);
    statusLabel_->setFont(style::font(13, QFont::Medium));
    statusLabel_->setWordWrap(true);
    setTextColor(statusLabel_, style::secondaryLabel());
    root->addWidget(statusLabel_);
}

void SourcePickerView::reloadTargets() {
    statusLabel_->setText(tr("正在读取所有桌面中正在展示的窗口…"));
    refreshButton_->setEnabled(false);
    startButton_->setEnabled(false);

    QPointer<SourcePickerView> self(this);
    services_->loadTargets([self](SourcePickerServices::TargetsResult result) {
        if (!self) return;
        self->refreshButton_->setEnabled(true);
        if (auto* list = std::get_if<std::vector<capture::ScreenCaptureTarget>>(&result)) {
            self->targets_ = std::move(*list);
            self->selectedTarget_.reset();
            if (!self->targets_.empty()) self->selectedTarget_ = self->targets_.front();
            self->rebuildGrid();
            // Once the new cards are shown (the layout shows them in a later turn).
            QMetaObject::invokeMethod(
                self,
                [self] {
                    if (self) self->focusSelectedCard();
                },
                Qt::QueuedConnection);
            if (self->targets_.empty()) {
                self->statusLabel_->setText(tr("没有找到可录制内容。请确认已授予屏幕录制权限。"));
                self->showPermissionAlert();
            } else if (std::all_of(self->targets_.begin(), self->targets_.end(),
                                   [](const auto& t) { return t.kind.isPortal(); })) {
                // Wayland: the system's chooser picks the screen or window after "确认"; no
                // window of other programs is listed here.
                self->subtitleLabel_->setText(
                    tr("点击“确认”后在系统弹出的窗口中选择要录制的屏幕或窗口，在开始录制页面支持"
                       "打开电脑摄像头作为小窗口。"));
                self->statusLabel_->setText(
                    tr("已找到 %1 "
                       "个可录制内容。点击“确认”后在系统弹出的窗口中选择要录制的屏幕"
                       "或窗口。")
                        .arg(self->targets_.size()));
            } else {
                self->statusLabel_->setText(
                    tr("已找到 %1 个可录制内容。点击窗口卡片会定位到对应桌面并显示蓝色边框。")
                        .arg(self->targets_.size()));
            }
            return;
        }
        const QString error = QString::fromStdString(std::get<std::string>(result));
        self->targets_.clear();
        self->selectedTarget_.reset();
        self->rebuildGrid();
        self->statusLabel_->setText(
            tr("读取失败：%1。请在系统设置中允许屏幕录制权限。").arg(error));
        self->showPermissionAlert();
    });
}

void SourcePickerView::showPermissionAlert() {
    recording::PermissionAlert::show(recording::PermissionKind::screenRecording,
                                     isVisible() ? window() : nullptr);
}

void SourcePickerView::rebuildGrid() {
    for (QWidget* row : rows_) {
        row->hide();
        row->deleteLater();  // a rebuild may start from a card's own click
    }
    rows_.clear();
    cardViews_.clear();

    QPointer<SourcePickerView> self(this);
    QWidget* row = nullptr;
    QHBoxLayout* rowLayout = nullptr;
    int inRow = 0;
    for (size_t i = 0; i < targets_.size(); ++i) {
        const capture::ScreenCaptureTarget& target = targets_[i];
        if (!row) {
            row = new QWidget(gridView_);
            rowLayout = new QHBoxLayout(row);
            rowLayout->setContentsMargins(0, 0, 0, 0);
            rowLayout->setSpacing(kColumnSpacing);
            inRow = 0;
        }
        auto* card = new SourceCardView(target, row);
        card->setSelected(selectedTarget_ && selectedTarget_->id == target.id);
        card->onSelect = [self, target] {
            if (self) self->selectTarget(target);
        };
        card->onPick = [self, target] {
            if (!self) return;
            self->selectTarget(target);
            self->startTapped();
        };
        card->onArrowKey = [self, i](int key) {
            if (self) self->moveCardFocus(i, key);
        };
        cardViews_.push_back(card);
        rowLayout->addWidget(card, 0, Qt::AlignLeft | Qt::AlignTop);
        ++inRow;
        if (inRow == kColumns || i + 1 == targets_.size()) {
            for (; inRow < kColumns; ++inRow) {
                auto* filler = new QWidget(row);
                filler->setFixedSize(SourceCardView::kWidth, SourceCardView::kHeight);
                rowLayout->addWidget(filler, 0, Qt::AlignLeft | Qt::AlignTop);
            }
            rowLayout->addStretch(1);
            gridLayout_->insertWidget(static_cast<int>(rows_.size()), row);
            rows_.push_back(row);
            row = nullptr;
        }
    }
    updateColumnSpacing();
    startButton_->setEnabled(selectedTarget_.has_value());
    loadThumbnails();
}

std::vector<std::vector<QWidget*>> SourcePickerView::gridRows() const {
    std::vector<std::vector<QWidget*>> result;
    for (QWidget* row : rows_) {
        std::vector<QWidget*> entries;
        auto* layout = row->layout();
        for (int i = 0; i < layout->count(); ++i) {
            if (QWidget* w = layout->itemAt(i)->widget()) entries.push_back(w);
        }
        result.push_back(std::move(entries));
    }
    return result;
}

void SourcePickerView::loadThumbnails() {
    for (SourceCardView* card : cardViews_) {
        QPointer<SourceCardView> weakCard(card);
        services_->loadThumbnail(
            card->captureTarget(), [weakCard](std::optional<capture::TargetImage> image) {
                if (!weakCard) return;
                weakCard->setThumbnail(image && !image->isSymbol() ? toQImage(*image->pixels)
                                                                   : QImage());
            });
    }
}

void SourcePickerView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    updateColumnSpacing();
}

void SourcePickerView::updateColumnSpacing() {
    // The grid never gets wider than the visible area: narrow windows close the gaps first.
    const int available = scrollView_->viewport()->width();
    const int spare = available - kColumns * SourceCardView::kWidth;
    const int spacing = std::clamp(spare / (kColumns - 1), 8, kColumnSpacing);
    for (QWidget* row : rows_) {
        if (auto* layout = qobject_cast<QHBoxLayout*>(row->layout())) layout->setSpacing(spacing);
    }
}

void SourcePickerView::focusSelectedCard() {
    // Unless the user is on a card already; the focus the window gave on its own (the back
    // button, first in line) is no choice of theirs.
    QWidget* focus = window()->focusWidget();
    if (qobject_cast<SourceCardView*>(focus) && isAncestorOf(focus)) return;
    for (SourceCardView* card : cardViews_) {
        if (card->isSelected()) {
            card->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
}

void SourcePickerView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    focusSelectedCard();
}

void SourcePickerView::moveCardFocus(size_t from, int key) {
    const int to = recording::gridStep(static_cast<int>(from), static_cast<int>(cardViews_.size()),
                                       kColumns, key);
    if (to < 0 || static_cast<size_t>(to) == from) return;
    SourceCardView* card = cardViews_[static_cast<size_t>(to)];
    card->setFocus(Qt::TabFocusReason);
    scrollView_->ensureWidgetVisible(card, 0, 24);
    // As with radio buttons, moving selects.
    selectTarget(card->captureTarget());
}

void SourcePickerView::selectTarget(const capture::ScreenCaptureTarget& target) {
    selectedTarget_ = target;
    for (SourceCardView* card : cardViews_)
        card->setSelected(card->captureTarget().id == target.id);
    startButton_->setEnabled(true);
    const QString title = QString::fromStdString(target.title);
    if (target.kind.isPortal()) {
        // Other programs' windows and the screens' places are not known to us on Wayland.
        services_->hideHighlight();
        statusLabel_->setText(tr("已选择：%1。定位和蓝色边框仅在 X11 桌面可用；点击“确认”后由系统"
                                 "窗口选择具体内容。")
                                  .arg(title));
        return;
    }
    const bool located = services_->highlight(target);
    statusLabel_->setText(
        located ? tr("已定位：%1").arg(title)
                : tr("已选择：%1。如需定位具体窗口，请在系统设置中允许辅助功能权限。").arg(title));
}

void SourcePickerView::backTapped() {
    services_->hideHighlight();
    if (onBack) onBack();
}

void SourcePickerView::startTapped() {
    if (!selectedTarget_) return;
    services_->hideHighlight();
    if (onStartRecording) onStartRecording(*selectedTarget_);
}

void SourcePickerView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    services_->hideHighlight();
}

}  // namespace zimlo::app
