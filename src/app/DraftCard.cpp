#include "app/DraftCard.h"

#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QGraphicsDropShadowEffect>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QToolButton>

#include "app/AppStyle.h"
#include "app/CardAccessibility.h"
#include "app/CardKeys.h"
#include "app/DraftFormatting.h"
#include "app/DraftLibrary.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/WorkerPool.h"
#include "recording/KeyboardActivation.h"
#include "recording/TabularDigits.h"

namespace zimlo::app {
namespace {

constexpr int kBadgeHeight = 20;
constexpr int kBadgeInset = 8;

QLabel* makeBadge(QWidget* parent, QFont::Weight weight, double backgroundAlpha) {
    auto* badge = new QLabel(parent);
    badge->setFont(style::font(11, weight));
    badge->setAlignment(Qt::AlignCenter);
    badge->setStyleSheet(QStringLiteral("QLabel { color: white; background: rgba(0,0,0,%1);"
                                        " border-radius: 5px; }")
                             .arg(backgroundAlpha));
    return badge;
}

// Thumbnails are made on threads of their own, two at a time: Qt's global pool also serves its
// painter, and movies that read slowly must not hold the window up.
WorkerPool& thumbnailPool() {
    static WorkerPool pool("thumbnails", 2);
    return pool;
}

}  // namespace

DraftCard::DraftCard(const RecordingProject& project,
                     std::shared_ptr<DraftThumbnailGenerator> thumbnails, QWidget* parent)
    : QWidget(parent), thumbnails_(std::move(thumbnails)) {
    setFixedSize(kWidth, kHeight);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    installCardAccessibility();

    auto* shadow = new QGraphicsDropShadowEffect(this);
    shadow->setColor(QColor(0, 0, 0, qRound(255 * 0.16)));
    shadow->setBlurRadius(16);
    shadow->setOffset(0, 4);
    setGraphicsEffect(shadow);

    durationLabel_ = makeBadge(this, QFont::Medium, 0.55);
    durationLabel_->setFont(recording::withTabularDigits(durationLabel_->font()));
    tagLabel_ = makeBadge(this, QFont::DemiBold, 0.5);
    tagLabel_->setText(tr("草稿"));
    tagLabel_->setGeometry(kWidth - kBadgeInset - 38, kThumbnailHeight - kBadgeInset - kBadgeHeight,
                           38, kBadgeHeight);

    titleLabel_ = new QLabel(this);
    titleLabel_->setFont(style::font(13, QFont::Medium));
    QPalette palette = titleLabel_->palette();
    palette.setColor(QPalette::WindowText, style::label());
    titleLabel_->setPalette(palette);
    const int titleHeight = QFontMetrics(titleLabel_->font()).height();
    titleLabel_->setGeometry(2, kThumbnailHeight + 10, kWidth - 4, titleHeight);

    deleteButton_ = new QToolButton(this);
    deleteButton_->setAutoRaise(true);
    deleteButton_->setIcon(QIcon(QStringLiteral(":/images/close_icon.png")));
    deleteButton_->setIconSize(QSize(20, 20));
    deleteButton_->setGeometry(kWidth - 4 - 20, 4, 20, 20);
    deleteButton_->setStyleSheet(
        QStringLiteral("QToolButton { border: none; background: transparent; }"));
    deleteButton_->setCursor(Qt::PointingHandCursor);
    deleteButton_->setToolTip(tr("删除"));
    deleteButton_->setAccessibleName(tr("删除"));
    deleteButton_->hide();
    connect(deleteButton_, &QToolButton::clicked, this, [this] { deleteTapped(); });

    configure(project);
}

DraftCard::~DraftCard() {
    if (thumbnailWanted_) *thumbnailWanted_ = false;
}

void DraftCard::configure(const RecordingProject& project) {
    currentID_ = project.id;
    tagLabel_->setVisible(project.isDraft);

    // A title the user gave, else the date it was recorded.
    const QString title = project.title ? QString::fromStdString(*project.title)
                                        : draftTitle(toQDateTime(project.createdAt));
    titleLabel_->setText(
        QFontMetrics(titleLabel_->font()).elidedText(title, Qt::ElideRight, titleLabel_->width()));
    titleLabel_->setToolTip(title);

    durationLabel_->setText(durationBadgeText(project.duration));
    // What a screen reader says for the card: its date, its length, and whether it is a draft.
    QString name = tr("%1，时长 %2").arg(title, durationLabel_->text().trimmed());
    if (project.isDraft) name += tr("，草稿");
    setAccessibleName(name);
    const int badgeWidth = std::max(
        48, QFontMetrics(durationLabel_->font()).horizontalAdvance(durationLabel_->text()) + 8);
    durationLabel_->setGeometry(kBadgeInset, kThumbnailHeight - kBadgeInset - kBadgeHeight,
                                badgeWidth, kBadgeHeight);

    thumbnail_ = QImage();
    update();
    if (thumbnailWanted_) *thumbnailWanted_ = false;
    thumbnailWanted_.reset();
    const auto movie = localFile(project.mainVideo);  // a remote URL has no picture here
    if (!movie || !thumbnails_) return;

    // The frame grab reads the movie; keep it off the main thread and let the card decide on
    // arrival whether the picture is still its own.
    QPointer<DraftCard> card(this);
    const Uuid id = project.id;
    thumbnailWanted_ = std::make_shared<std::atomic<bool>>(true);
    thumbnailPool().async(
        [generator = thumbnails_, movie = *movie, card, id, wanted = thumbnailWanted_]() {
            if (!*wanted) return;
            QImage image = generator->thumbnail(movie);
            MainQueue::post([card, id, image = std::move(image)]() {
                if (card) card->applyThumbnail(id, image);
            });
        });
}

void DraftCard::applyThumbnail(const Uuid& id, const QImage& image) {
    if (currentID_ != id) return;
    thumbnail_ = image;
    update();
}

void DraftCard::setEditingDrafts(bool editing) {
    isEditingDrafts_ = editing;
    deleteButton_->setVisible(editing);
}

void DraftCard::deleteTapped() {
    if (onDelete) onDelete();
}

bool DraftCard::event(QEvent* event) {
    // The window's Return (its default button) must not take the keys the focused card acts on.
    if (claimCardKey(event, true)) return true;
    return QWidget::event(event);
}

void DraftCard::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Space:
            if (!isEditingDrafts_ && onOpen) onOpen();
            return;
        case Qt::Key_Delete:
        case Qt::Key_Backspace:
            if (isEditingDrafts_ && onDelete) onDelete();
            return;
        default:
            break;
    }
    if (isCardMoveKey(event->key())) {
        if (onArrowKey) onArrowKey(event->key());
        return;
    }
    QWidget::keyPressEvent(event);
}

void DraftCard::contextMenuEvent(QContextMenuEvent* event) {
    event->accept();
    // From the keyboard the menu opens over the card's picture.
    const QPoint at = event->reason() == QContextMenuEvent::Mouse
                          ? event->globalPos()
                          : mapToGlobal(QPoint(kWidth / 2, kThumbnailHeight / 2));
    if (onMenu) onMenu(at);
}

void DraftCard::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    update();
}

void DraftCard::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    update();
}

void DraftCard::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        event->accept();  // the menu follows as a context menu event
        return;
    }
    if (event->button() == Qt::LeftButton) {
        event->accept();
        if (!isEditingDrafts_ && onOpen) onOpen();
        return;
    }
    QWidget::mousePressEvent(event);
}

void DraftCard::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);

    const QRectF card = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    p.setPen(QPen(style::withAlpha(style::separator(), 0.25), 1));
    p.setBrush(style::withAlpha(style::controlBackground(), 0.96));
    p.drawRoundedRect(card, 18, 18);

    // The thumbnail area spans the card's top edge; its picture fills it (aspect fill, clipped).
    const QRectF area(0, 0, kWidth, kThumbnailHeight);
    QPainterPath clip;
    clip.addRoundedRect(area, 13, 13);
    p.save();
    p.setClipPath(clip);
    p.fillRect(area, style::withAlpha(style::control(), 0.04));
    if (!thumbnail_.isNull()) {
        const QSizeF imageSize = thumbnail_.size();
        const double scale =
            std::max(area.width() / imageSize.width(), area.height() / imageSize.height());
        const QSizeF drawn = imageSize * scale;
        const QRectF target(area.center().x() - drawn.width() / 2,
                            area.center().y() - drawn.height() / 2, drawn.width(), drawn.height());
        p.drawImage(target, thumbnail_);
    }
    p.restore();
    p.end();
    recording::paintFocusRing(this, 18);
}

}  // namespace zimlo::app
