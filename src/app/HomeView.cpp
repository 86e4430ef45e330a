#include "app/HomeView.h"

#include <QAbstractButton>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QThreadPool>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>

#include "app/AppStyle.h"
#include "app/DraftCard.h"
#include "app/DraftFormatting.h"
#include "app/DraftLibrary.h"
#include "app/ImageConversion.h"
#include "platform/log/Log.h"
#include "platform/runtime/MainQueue.h"
#include "recording/KeyboardActivation.h"
#include "recording/PermissionAlert.h"

namespace zimlo::app {
namespace {

constexpr int kSideInset = 42;
constexpr int kScrollTopGap = 30;
constexpr int kScrollBottomInset = 34;

// The translucent band behind the header.
class HeaderBar : public QWidget {
  public:
    using QWidget::QWidget;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), style::withAlpha(style::control(), 0.035));
        p.fillRect(QRect(0, height() - 1, width(), 1), style::withAlpha(style::separator(), 0.18));
    }
};

QColor secondaryText() { return style::secondaryLabel(); }

void setTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    widget->setPalette(palette);
}

}  // namespace

HomeView::HomeView(std::shared_ptr<DraftLibrary> library,
                   std::shared_ptr<DraftThumbnailGenerator> thumbnails, QWidget* parent)
    : QWidget(parent), library_(std::move(library)), thumbnails_(std::move(thumbnails)) {
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, style::windowBackground());
    setPalette(palette);

    buildHeader();

    scrollView_ = new QScrollArea(this);
    scrollView_->setFocusPolicy(Qt::NoFocus);  // the cards take the focus, not their frame
    scrollView_->setFrameShape(QFrame::NoFrame);
    scrollView_->setWidgetResizable(false);
    scrollView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scrollView_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    style::slimScrollBars(scrollView_);
    scrollView_->viewport()->setAutoFillBackground(false);
    scrollView_->viewport()->installEventFilter(this);
    // Rows are laid out from the top-left corner, y growing downwards.
    gridContainer_ = new QWidget;
    gridContainer_->setAutoFillBackground(false);
    scrollView_->setWidget(gridContainer_);

    emptyStateLabel_ = new QLabel(tr("暂无作品，点击右上角去录制开始录屏吧~"), this);
    emptyStateLabel_->setFont(style::font(15, QFont::Medium));
    emptyStateLabel_->setAlignment(Qt::AlignCenter);
    setTextColor(emptyStateLabel_, secondaryText());

    rebuildGrid();
    reloadDrafts();
}

std::vector<RecordingProject> HomeView::drafts() const {
    std::vector<RecordingProject> projects;
    for (const auto& draft : drafts_) projects.push_back(draft.project);
    return projects;
}

void HomeView::reloadDrafts() {
    if (isListing_) {
        relistWanted_ = true;
        return;
    }
    isListing_ = true;
    QPointer<HomeView> self(this);
    QThreadPool::globalInstance()->start([library = library_, self] {
        auto drafts = library->listDrafts();
        MainQueue::post([self, drafts = std::move(drafts)]() mutable {
            if (self) self->draftsListed(std::move(drafts));
        });
    });
}

void HomeView::showNotice(const QString& text) {
    noticeLabel_->setText(text);
    noticeLabel_->setToolTip(text);
    noticeLabel_->setVisible(!text.isEmpty());
}

void HomeView::draftsListed(std::vector<ListedDraft> drafts) {
    isListing_ = false;
    hasListed_ = true;
    drafts_ = std::move(drafts);
    rebuildGrid();
    if (relistWanted_) {
        relistWanted_ = false;
        reloadDrafts();
    }
}

void HomeView::buildHeader() {
    headerBar_ = new HeaderBar(this);
    auto* outer = new QVBoxLayout(headerBar_);
    outer->setContentsMargins(32, 0, 32, 16);
    outer->addStretch(1);
    auto* row = new QHBoxLayout;
    row->setSpacing(14);
    outer->addLayout(row);

    titleLabel_ = new QLabel(tr("我的作品"), headerBar_);
    titleLabel_->setFont(style::font(26, QFont::DemiBold));
    setTextColor(titleLabel_, style::label());

    editButton_ = new QPushButton(tr("编辑"), headerBar_);
    style::roundedButton(editButton_);
    editButton_->setEnabled(false);
    connect(editButton_, &QPushButton::clicked, this, [this] { toggleEditing(); });

    screenRecordButton_ = new QPushButton(tr("去录制"), headerBar_);
    style::roundedButton(screenRecordButton_, true);
    screenRecordButton_->setIcon(
        QIcon(QPixmap::fromImage(symbolImage("video.badge.plus", 18, Qt::white))));
    screenRecordButton_->setIconSize(QSize(18, 18));
    connect(screenRecordButton_, &QPushButton::clicked, this, [this] { screenRecordTapped(); });
    // "去录制" is the page's default button; a focused button or card takes Return itself.
    for (int key : {Qt::Key_Return, Qt::Key_Enter})
        recording::addDefaultKey(this, QKeySequence(key), [this] { screenRecordButton_->click(); });

    noticeLabel_ = new QLabel(headerBar_);
    noticeLabel_->setFont(style::font(13, QFont::Normal));
    setTextColor(noticeLabel_, secondaryText());
    noticeLabel_->hide();

    row->addWidget(titleLabel_, 0, Qt::AlignVCenter);
    row->addWidget(noticeLabel_, 0, Qt::AlignVCenter);
    row->addStretch(1);
    row->addWidget(editButton_, 0, Qt::AlignVCenter);
    row->addWidget(screenRecordButton_, 0, Qt::AlignVCenter);
}

int HomeView::columnCount(int width) { return std::max(1, (width - 84 + 24) / kColumnStep); }

void HomeView::layoutSubviews() {
    headerBar_->setGeometry(0, 0, width(), kHeaderHeight);
    const int top = kHeaderHeight + kScrollTopGap;
    scrollView_->setGeometry(kSideInset, top, std::max(0, width() - 2 * kSideInset),
                             std::max(0, height() - top - kScrollBottomInset));
    emptyStateLabel_->adjustSize();
    emptyStateLabel_->move((width() - emptyStateLabel_->width()) / 2,
                           (height() - emptyStateLabel_->height()) / 2);
}

void HomeView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutSubviews();
    if (columnCount() == renderedColumnCount_) {
        resizeGridContainer();
    } else {
        rebuildGrid();
    }
}

void HomeView::resizeGridContainer() {
    const QSize visible = scrollView_->viewport()->size();
    gridContainer_->resize(visible.width(), std::max(gridContainer_->height(), visible.height()));
}

bool HomeView::eventFilter(QObject* watched, QEvent* event) {
    // The vertical scroller takes width when it appears; keep the grid as wide as what is visible.
    if (watched == scrollView_->viewport() && event->type() == QEvent::Resize) {
        gridContainer_->resize(scrollView_->viewport()->width(), gridContainer_->height());
    }
    return QWidget::eventFilter(watched, event);
}

void HomeView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The keyboard starts on "去录制", the page's main action.
    QWidget* focus = window()->focusWidget();
    if (!focus || focus == this || !isAncestorOf(focus)) screenRecordButton_->setFocus();
    // A draft saved while the home view was hidden shows up when it appears again.
    reloadDrafts();
}

void HomeView::rebuildGrid() {
    // A rebuild can start inside a card's own event handler (its delete button), so cards go
    // later rather than at once.
    const auto old = gridContainer_->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    // The focus stays at the same place in the grid (a deleted card's neighbour takes it).
    std::optional<size_t> focused;
    for (size_t i = 0; i < cardViews_.size(); ++i)
        if (cardViews_[i]->hasFocus()) focused = i;
    for (QWidget* child : old) {
        child->hide();
        child->deleteLater();
    }
    cardViews_.clear();

    const int columns = columnCount();
    renderedColumnCount_ = columns;
    QPointer<HomeView> self(this);
    for (size_t i = 0; i < drafts_.size(); ++i) {
        const ListedDraft& draft = drafts_[i];
        auto* card = new DraftCard(draft.project, thumbnails_, gridContainer_);
        card->setEditingDrafts(isEditingDrafts_);
        card->onOpen = [self, project = draft.project] {
            if (self && self->onOpenDraft) self->onOpenDraft(project);
        };
        card->onDelete = [self, draft] {
            if (self) self->confirmDelete(draft);
        };
        card->onMenu = [self, i](QPoint at) {
            if (self) self->showDraftMenu(i, at);
        };
        card->onArrowKey = [self, i](int key) {
            if (self) self->moveCardFocus(i, key);
        };
        cardViews_.push_back(card);
        const int index = static_cast<int>(i);
        card->setGeometry((index % columns) * kColumnStep, (index / columns) * kRowStep,
                          DraftCard::kWidth, DraftCard::kHeight);
        card->show();
    }

    const int count = static_cast<int>(drafts_.size());
    const int rows = count == 0 ? 1 : (count + columns - 1) / columns;
    const int gridHeight = rows * DraftCard::kHeight + (rows - 1) * 28;
    const QSize visible = scrollView_->viewport()->size();
    gridContainer_->setGeometry(0, 0, visible.width(), std::max(visible.height(), gridHeight));
    scrollView_->verticalScrollBar()->setValue(0);
    scrollView_->horizontalScrollBar()->setValue(0);
    if (focused && !cardViews_.empty()) {
        DraftCard* card = cardViews_[std::min(*focused, cardViews_.size() - 1)];
        card->setFocus(Qt::OtherFocusReason);
        scrollView_->ensureWidgetVisible(card);
    }

    // Until the first listing arrives nothing is known, so nothing is claimed.
    emptyStateLabel_->setVisible(drafts_.empty() && hasListed_);
    editButton_->setEnabled(!drafts_.empty());
    editButton_->setText(isEditingDrafts_ ? tr("完成") : tr("编辑"));
}

void HomeView::toggleEditing() {
    isEditingDrafts_ = !isEditingDrafts_;
    for (DraftCard* card : cardViews_) card->setEditingDrafts(isEditingDrafts_);
    editButton_->setText(isEditingDrafts_ ? tr("完成") : tr("编辑"));
}

void HomeView::screenRecordTapped() {
    // The cards keep their delete buttons until the next rebuild.
    isEditingDrafts_ = false;
    if (onOpenScreenRecording) onOpenScreenRecording();
}

void HomeView::confirmDelete(const ListedDraft& draft) {
    auto* box = new QMessageBox(isVisible() ? window() : nullptr);
    recording::PermissionAlert::applyAlertLook(box);
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle(QStringLiteral("Zimlo"));
    box->setText(tr("删除作品？"));
    box->setInformativeText(tr("删除后无法恢复，确定要删除这个作品吗？"));
    QPushButton* remove = box->addButton(tr("删除"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box->addButton(tr("取消"), QMessageBox::RejectRole);
    // Return never deletes: only a deliberate click or Space on "删除" does.
    remove->setAutoDefault(false);
    box->setDefaultButton(cancel);
    cancel->setFocus();
    box->setEscapeButton(cancel);

    QPointer<HomeView> self(this);
    auto answered = [self, draft](bool confirmed) {
        if (confirmed && self) self->performDelete(draft);
    };
    if (isVisible()) {
        box->setWindowModality(Qt::WindowModal);
        box->setAttribute(Qt::WA_DeleteOnClose);
        QPointer<QPushButton> removeButton(remove);
        connect(box, &QMessageBox::buttonClicked, this,
                [answered, removeButton](QAbstractButton* clicked) {
                    answered(clicked && clicked == removeButton);
                });
        box->open();
    } else {
        box->exec();
        const bool confirmed = box->clickedButton() == remove;
        delete box;
        answered(confirmed);
    }
}

void HomeView::performDelete(const ListedDraft& draft) {
    if (auto deleted = library_->deleteDraft(draft); !deleted) {
        showError(tr("删除失败"), errorDescription(deleted.error()));
        return;
    }
    // Only the folder that was deleted: a copy of it carries the same id.
    std::erase_if(drafts_, [&](const ListedDraft& d) { return d.directory == draft.directory; });
    if (isListing_) relistWanted_ = true;  // that listing may have seen the deleted folder
    if (drafts_.empty()) isEditingDrafts_ = false;
    rebuildGrid();
}

void HomeView::moveCardFocus(size_t from, int key) {
    const int to = recording::gridStep(static_cast<int>(from), static_cast<int>(cardViews_.size()),
                                       std::max(1, renderedColumnCount_), key);
    if (to < 0) return;
    DraftCard* card = cardViews_[static_cast<size_t>(to)];
    card->setFocus(Qt::TabFocusReason);
    scrollView_->ensureWidgetVisible(card, 0, 24);
}

QMenu* HomeView::makeDraftMenu(size_t index) {
    if (index >= drafts_.size()) return nullptr;
    const ListedDraft draft = drafts_[index];
    const bool hasMovie = localFile(draft.project.mainVideo).has_value();
    auto* menu = new QMenu(this);
    QPointer<HomeView> self(this);
    QAction* play = menu->addAction(tr("播放"), this, [self, draft] {
        if (self && self->onOpenDraft) self->onOpenDraft(draft.project);
    });
    QAction* reveal = menu->addAction(tr("在文件夹中显示"), this, [self, draft] {
        if (self && self->onRevealDraft) self->onRevealDraft(draft.project);
    });
    menu->addAction(tr("重命名"), this, [self, draft] {
        if (self) self->renameTapped(draft);
    });
    QAction* copy = menu->addAction(tr("复制到…"), this, [self, draft] {
        if (self) self->copyTapped(draft);
    });
    menu->addSeparator();
    menu->addAction(tr("删除"), this, [self, draft] {
        if (self) self->confirmDelete(draft);
    });
    for (QAction* action : {play, reveal, copy}) action->setEnabled(hasMovie);
    return menu;
}

void HomeView::showDraftMenu(size_t index, QPoint globalPosition) {
    QMenu* menu = makeDraftMenu(index);
    if (!menu) return;
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(globalPosition);
}

void HomeView::renameTapped(const ListedDraft& draft) {
    const QString current = draft.project.title ? QString::fromStdString(*draft.project.title)
                                                : draftTitle(toQDateTime(draft.project.createdAt));
    std::optional<QString> title;
    if (askDraftTitle) {
        title = askDraftTitle(current);
    } else {
        bool accepted = false;
        const QString text = QInputDialog::getText(isVisible() ? window() : nullptr, tr("重命名"),
                                                   tr("作品名称（留空则显示录制时间）："),
                                                   QLineEdit::Normal, current, &accepted);
        if (accepted) title = text;
    }
    if (!title) return;
    const QString trimmed = title->trimmed();
    auto renamed = library_->renameDraft(
        draft, trimmed.isEmpty() ? std::nullopt : std::optional(trimmed.toStdString()));
    if (!renamed) {
        showError(tr("重命名失败"), QString::fromStdString(renamed.error().message));
        return;
    }
    for (ListedDraft& listed : drafts_) {
        if (listed.directory == draft.directory) listed.project.title = renamed->title;
    }
    if (isListing_) relistWanted_ = true;  // that listing may have read the old document
    rebuildGrid();
}

void HomeView::copyTapped(const ListedDraft& draft) {
    const auto movie = localFile(draft.project.mainVideo);
    if (!movie) return;
    std::optional<std::filesystem::path> destination;
    if (chooseCopyDestination) {
        destination = chooseCopyDestination(*movie);
    } else {
        const QString suggested = QDir::home().filePath(
            QStringLiteral("Zimlo %1.%2")
                .arg(draftTitle(toQDateTime(draft.project.createdAt)),
                     QString::fromStdString(movie->extension().string()).remove(0, 1)));
        const QString chosen = QFileDialog::getSaveFileName(isVisible() ? window() : nullptr,
                                                            tr("复制到…"), suggested);
        if (!chosen.isEmpty()) destination = std::filesystem::path(chosen.toStdString());
    }
    if (destination) copyDraftMovie(draft, *destination);
}

void HomeView::copyDraftMovie(const ListedDraft& draft, const std::filesystem::path& destination) {
    const auto movie = localFile(draft.project.mainVideo);
    if (!movie) return;
    QPointer<HomeView> self(this);
    // A movie is large: copied off the main thread, into a temporary name first so that a failed
    // copy never leaves half a movie under the chosen name.
    QThreadPool::globalInstance()->start([self, source = *movie, destination] {
        namespace fs = std::filesystem;
        std::error_code ec;
        fs::path partial = destination;
        partial += ".part";
        if (fs::equivalent(source, destination, ec)) {
            ec = std::make_error_code(std::errc::file_exists);
        } else {
            ec.clear();
            fs::copy_file(source, partial, fs::copy_options::overwrite_existing, ec);
            if (!ec) fs::rename(partial, destination, ec);
            if (ec) {
                std::error_code ignored;
                fs::remove(partial, ignored);
            }
        }
        if (ec) {
            ZIMLO_LOG_WARN("gallery")
                << "copying " << source << " to " << destination << " failed: " << ec.message();
        }
        MainQueue::post([self, destination, ec] {
            if (!self || !ec) return;
            self->showError(HomeView::tr("复制失败"),
                            HomeView::tr("%1（%2）")
                                .arg(QString::fromStdString(ec.message()),
                                     QString::fromStdString(destination.string())));
        });
    });
}

void HomeView::showError(const QString& title, const QString& description) {
    auto* box = new QMessageBox(isVisible() ? window() : nullptr);
    recording::PermissionAlert::applyAlertLook(box);
    box->setIcon(QMessageBox::Critical);
    box->setWindowTitle(QStringLiteral("Zimlo"));
    box->setText(title);
    box->setInformativeText(description);
    box->addButton(tr("好"), QMessageBox::AcceptRole);
    if (isVisible()) {
        box->setWindowModality(Qt::WindowModal);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    } else {
        box->exec();
        delete box;
    }
}

}  // namespace zimlo::app
