#include "recording/RecordingParameterPopover.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <array>

#include "recording/FormRow.h"

namespace zimlo::recording {
namespace {

constexpr std::array<CaptureFrameRate, 3> kOfferedRates = {
    CaptureFrameRate::fps24, CaptureFrameRate::fps30, CaptureFrameRate::fps60};

constexpr int kInset = 20;

// The chosen rate stands out in the accent colour with bold text; the others stay dark grey.
const char* const kSegmentStyle =
    "QPushButton { background: #3d3d43; color: #d8d8dc; border: 1px solid rgba(255,255,255,0.10);"
    " padding: 4px 10px; }"
    "QPushButton:hover { background: #47474e; }"
    "QPushButton:checked { background: #0a84ff; color: #ffffff; font-weight: 600;"
    " border-color: #0a84ff; }"
    "QPushButton:focus { border: 1px solid #ffffff; }"
    "QPushButton:disabled { background: #303034; color: #78787f; }"
    "QPushButton:checked:disabled { background: #1f4f80; color: #c0c0c6; }";

}  // namespace

RecordingParameterPopover::RecordingParameterPopover(
    RecordingSettings settings, std::vector<RecordingResolution> availableResolutions,
    QWidget* parent)
    : QWidget(parent),
      settings_(std::move(settings)),
      availableResolutions_(std::move(availableResolutions)),
      resolutionControl_(new QComboBox),
      frameRateControl_(new QButtonGroup(this)),
      cursorControl_(new QCheckBox(tr("录制鼠标指针"))) {
    QFont small = resolutionControl_->font();
    small.setPixelSize(12);
    resolutionControl_->setFont(small);
    int selected = -1;
    for (size_t i = 0; i < availableResolutions_.size(); ++i) {
        const auto& resolution = availableResolutions_[i];
        resolutionControl_->addItem(QString::fromStdString(resolution.displayName));
        if (selected < 0 && resolution.width == settings_.resolution.width &&
            resolution.height == settings_.resolution.height) {
            selected = static_cast<int>(i);
        }
    }
    // A size no longer offered shows the largest entry until the user picks one.
    if (selected < 0)
        selected =
            availableResolutions_.empty() ? 0 : static_cast<int>(availableResolutions_.size()) - 1;
    if (!availableResolutions_.empty()) resolutionControl_->setCurrentIndex(selected);

    auto* segments = new QWidget;
    segments->setAccessibleName(tr("帧速率"));
    auto* segmentLayout = new QHBoxLayout(segments);
    segmentLayout->setContentsMargins(0, 0, 0, 0);
    segmentLayout->setSpacing(0);
    frameRateControl_->setExclusive(true);
    int selectedRate = 0;
    for (size_t i = 0; i < kOfferedRates.size(); ++i) {
        auto* button =
            new QPushButton(QString::number(rawValue(kOfferedRates[i])) + QStringLiteral("fps"));
        button->setCheckable(true);
        button->setFont(small);
        button->setStyleSheet(QLatin1String(kSegmentStyle));
        // Each segment is named by its rate; the row's title names the group.
        button->setAccessibleName(button->text());
        frameRateControl_->addButton(button, static_cast<int>(i));
        segmentLayout->addWidget(button);
        if (kOfferedRates[i] == settings_.frameRate) selectedRate = static_cast<int>(i);
    }
    frameRateControl_->button(selectedRate)->setChecked(true);

    setAccessibleName(tr("录制参数"));
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(kInset, kInset, kInset, kInset);
    stack->setSpacing(14);
    stack->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    stack->addWidget(sizedLabel(tr("录制参数"), 16));
    QLabel* note = sizedLabel(tr("默认使用当前目标的原生最大像素，也可选择较低分辨率。"), 12);
    note->setWordWrap(true);
    note->setForegroundRole(QPalette::PlaceholderText);
    stack->addWidget(note);
    QHBoxLayout* resolutionRow = formRow(tr("分辨率"), resolutionControl_, 250);
    QHBoxLayout* frameRateRow = formRow(tr("帧速率"), segments, 250);
    cursorControl_->setChecked(settings_.showsCursor);
    cursorControl_->setFont(small);
    cursorControl_->setAccessibleName(cursorControl_->text());
    QHBoxLayout* cursorRow = formRow(tr("指针"), cursorControl_, 250);
    stack->addLayout(resolutionRow);
    stack->addLayout(frameRateRow);
    stack->addLayout(cursorRow);

    // The rows set the width (label, spacing and a control that shows its entries whole); the
    // note wraps within it and sets the height.
    int contentWidth = 0;
    for (QLayout* part :
         {static_cast<QLayout*>(resolutionRow), static_cast<QLayout*>(frameRateRow)})
        contentWidth = std::max(contentWidth, part->sizeHint().width());
    const int width = contentWidth + 2 * kInset;
    setFixedSize(width, stack->totalHeightForWidth(width));

    // `activated` and `idClicked` also fire for the entry that is already selected.
    connect(resolutionControl_, &QComboBox::activated, this, [this](int) { resolutionChanged(); });
    connect(frameRateControl_, &QButtonGroup::idClicked, this, [this](int) { frameRateChanged(); });
    connect(cursorControl_, &QCheckBox::clicked, this, [this] { cursorChanged(); });
}

void RecordingParameterPopover::addSection(QWidget* section) {
    auto* stack = static_cast<QVBoxLayout*>(layout());
    stack->addWidget(section);
    // As wide as the rows; the panel grows by what the section needs at that width.
    section->setFixedWidth(width() - 2 * kInset);
    setFixedSize(width(), stack->totalHeightForWidth(width()));
}

void RecordingParameterPopover::setInteractionEnabled(bool enabled) {
    isInteractionEnabled_ = enabled;
    resolutionControl_->setEnabled(enabled);
    for (QAbstractButton* button : frameRateControl_->buttons()) button->setEnabled(enabled);
    cursorControl_->setEnabled(enabled);
}

void RecordingParameterPopover::cursorChanged() {
    settings_.showsCursor = cursorControl_->isChecked();
    if (onChange) onChange(settings_);
}

void RecordingParameterPopover::resolutionChanged() {
    const int index = resolutionControl_->currentIndex();
    if (index < 0 || index >= static_cast<int>(availableResolutions_.size())) return;
    settings_.resolution = availableResolutions_[static_cast<size_t>(index)];
    if (onChange) onChange(settings_);
}

void RecordingParameterPopover::frameRateChanged() {
    const int index = frameRateControl_->checkedId();
    if (index < 0 || index >= static_cast<int>(kOfferedRates.size())) return;
    settings_.frameRate = kOfferedRates[static_cast<size_t>(index)];
    if (onChange) onChange(settings_);
}

void RecordingParameterPopover::popUpAbove(QWidget* anchor) { popUp(anchor, true); }

void RecordingParameterPopover::popUp(QWidget* anchor, bool above) {
    setWindowFlags(Qt::Popup);
    setAttribute(Qt::WA_DeleteOnClose);
    if (anchor) {
        const QPoint edge =
            anchor->mapToGlobal(QPoint(anchor->width() / 2, above ? 0 : anchor->height()));
        QPoint topLeft(edge.x() - width() / 2, above ? edge.y() - 6 - height() : edge.y() + 6);
        if (QScreen* screen = anchor->screen()) {
            const QRect area = screen->availableGeometry();
            topLeft.setX(std::clamp(topLeft.x(), area.left(),
                                    std::max(area.left(), area.right() - width())));
            topLeft.setY(std::clamp(topLeft.y(), area.top(),
                                    std::max(area.top(), area.bottom() - height())));
        }
        move(topLeft);
    }
    show();
}

}  // namespace zimlo::recording
