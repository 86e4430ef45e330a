#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QTimer>
#include <QToolButton>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>

#include "app/AppTestSupport.h"
#include "app/DraftCard.h"
#include "app/DraftFormatting.h"
#include "app/HomeView.h"
#include "app/QtTestSupport.h"
#include "support/ResultValue.h"

namespace zimlo::app {
namespace {

using apptest::FakeLibrary;
using apptest::FakeThumbnails;
using apptest::makeDraft;
using qttest::pumpUntil;

QDateTime daysAgo(int days, int hour = 10) {
    return QDateTime(QDate::currentDate().addDays(-days), QTime(hour, 0));
}

class HomeGallery : public ::testing::Test {
  protected:
    void SetUp() override {
        library = std::make_shared<FakeLibrary>();
        thumbnails = std::make_shared<FakeThumbnails>();
    }
    void addDrafts(int count) {
        for (int i = 0; i < count; ++i)
            library->drafts.push_back(makeDraft(i, daysAgo(i + 1), 30 + i));
    }
    std::unique_ptr<HomeView> show(int width = 900, int height = 700) {
        auto home = std::make_unique<HomeView>(library, thumbnails);
        home->resize(width, height);
        home->show();
        EXPECT_TRUE(pumpUntil([&] { return !home->isListing(); }));
        qttest::settle();
        return home;
    }
    QMessageBox* waitForAlert() {
        QMessageBox* box = nullptr;
        pumpUntil([&] { return (box = apptest::visibleAlert()) != nullptr; });
        return box;
    }

    std::shared_ptr<FakeLibrary> library;
    std::shared_ptr<FakeThumbnails> thumbnails;
};

QAction* menuAction(QMenu& menu, const QString& text) {
    for (QAction* action : menu.actions())
        if (action->text() == text) return action;
    ADD_FAILURE() << "no menu entry " << text.toStdString();
    static QAction none;
    return &none;
}

// "重命名" stores a title in the draft's document, which the gallery shows when it lists the
// store again; the folder keeps its id, a blank title brings the date back, and a document
// written before titles existed still lists.
TEST(GalleryRename, TheTitleIsStoredShownAfterAReloadAndTheFolderKeepsItsId) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::filesystem::path root = dir.path().toStdString();
    auto store = std::make_shared<DraftStore>(root / "Drafts");
    RecordingProject project = makeDraft(7, daysAgo(2), 12);
    project.mainVideo.reset();
    project.pipVideo.reset();
    auto stored = store->saveDraft(project);
    ASSERT_TRUE(stored) << stored.error().message;
    const RecordingProject saved = *stored;
    const std::filesystem::path folder = store->draftDirectory(saved.id);
    auto thumbnails = std::make_shared<FakeThumbnails>();
    auto showHome = [&] {
        auto home = std::make_unique<HomeView>(app::makeDraftStoreLibrary(store), thumbnails);
        home->resize(900, 700);
        home->show();
        EXPECT_TRUE(pumpUntil([&] { return !home->isListing() && home->cardViews().size() == 1; }));
        return home;
    };
    auto home = showHome();
    const QString date = home->cardViews()[0]->titleLabel()->text();
    QString offered;
    home->askDraftTitle = [&](const QString& current) {
        offered = current;
        return std::optional(QStringLiteral("  周会 \"回顾\"  "));
    };
    std::unique_ptr<QMenu> menu(home->makeDraftMenu(0));
    menuAction(*menu, QStringLiteral("重命名"))->trigger();
    EXPECT_EQ(offered, date);
    EXPECT_EQ(home->cardViews()[0]->titleLabel()->text(), QStringLiteral("周会 \"回顾\""));

    menu.reset();       // the view owns its menus
    home = showHome();  // the store read again
    EXPECT_EQ(home->cardViews()[0]->titleLabel()->text(), QStringLiteral("周会 \"回顾\""));
    EXPECT_TRUE(home->cardViews()[0]->accessibleName().startsWith(QStringLiteral("周会")));
    const auto listed = store->listDrafts();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].directory, folder);
    EXPECT_EQ(listed[0].project.id, saved.id);
    EXPECT_EQ(listed[0].project.duration, saved.duration);

    home->askDraftTitle = [](const QString&) { return std::optional(QStringLiteral("   ")); };
    menu.reset(home->makeDraftMenu(0));
    menuAction(*menu, QStringLiteral("重命名"))->trigger();
    menu.reset();
    home = showHome();
    EXPECT_EQ(home->cardViews()[0]->titleLabel()->text(), date);

    // A document from before titles: its exact text, without the key.
    {
        std::ifstream in(folder / "project.json");
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        ASSERT_EQ(text.find("\"title\""), std::string::npos) << text;
    }
    EXPECT_FALSE(store->listDrafts().at(0).project.title.has_value());
}

TEST(HomeColumns, ColumnRuleNeverGivesZero) {
    EXPECT_EQ(HomeView::columnCount(900), 4);
    EXPECT_EQ(HomeView::columnCount(500), 2);
    EXPECT_EQ(HomeView::columnCount(200), 1);
    EXPECT_EQ(HomeView::columnCount(0), 1);
}

TEST_F(HomeGallery, FiveDraftsFillFourColumnsThenWrap) {
    addDrafts(5);
    auto home = show(900, 700);
    ASSERT_EQ(home->cardViews().size(), 5u);
    EXPECT_EQ(home->renderedColumnCount(), 4);
    const QPoint expected[] = {{0, 0}, {194, 0}, {388, 0}, {582, 0}, {0, 254}};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(home->cardViews()[i]->geometry(), QRect(expected[i], QSize(170, 226))) << i;
    }
    // Two rows are 480 high; the container is at least as high as the visible area.
    const int visible = home->scrollView()->viewport()->height();
    EXPECT_EQ(home->gridContainer()->height(), std::max(480, visible));
    EXPECT_EQ(home->scrollView()->geometry(), QRect(42, 110, 900 - 84, 700 - 110 - 34));

    home->resize(560, 300);  // 2 columns; the grid now scrolls
    qttest::settle();
    EXPECT_EQ(home->renderedColumnCount(), 2);
    EXPECT_EQ(home->cardViews()[4]->pos(), QPoint(0, 508));
    EXPECT_EQ(home->gridContainer()->height(), 3 * 226 + 2 * 28);
}

TEST_F(HomeGallery, ResizingWithinAColumnCountKeepsTheCards) {
    addDrafts(3);
    auto home = show(900, 700);
    const auto before = home->cardViews();
    home->resize(950, 720);  // still 4 columns
    qttest::settle();
    EXPECT_EQ(home->cardViews(), before);
    EXPECT_EQ(home->gridContainer()->width(), home->scrollView()->viewport()->width());
    home->resize(1100, 720);  // 5 columns: rebuilt
    qttest::settle();
    EXPECT_EQ(home->renderedColumnCount(), 5);
    EXPECT_NE(home->cardViews().front(), before.front());
}

TEST_F(HomeGallery, EmptyStateAndEditButtonFollowTheDrafts) {
    auto home = show();
    EXPECT_TRUE(home->emptyStateLabel()->isVisible());
    EXPECT_EQ(home->emptyStateLabel()->text(),
              QStringLiteral("暂无作品，点击右上角去录制开始录屏吧~"));
    EXPECT_FALSE(home->editButton()->isEnabled());
    EXPECT_EQ(home->editButton()->text(), QStringLiteral("编辑"));

    // A draft saved while the view was hidden appears when it shows again.
    addDrafts(2);
    home->hide();
    home->show();
    ASSERT_TRUE(pumpUntil([&] { return !home->isListing(); }));
    ASSERT_EQ(home->cardViews().size(), 2u);
    EXPECT_FALSE(home->emptyStateLabel()->isVisible());
    EXPECT_TRUE(home->editButton()->isEnabled());

    home->editButton()->click();
    EXPECT_TRUE(home->isEditingDrafts());
    EXPECT_EQ(home->editButton()->text(), QStringLiteral("完成"));
    for (auto* card : home->cardViews()) EXPECT_TRUE(card->deleteButton()->isVisible());

    // Leaving for the recorder ends edit mode; the cards keep their buttons until a rebuild.
    int opened = 0;
    home->onOpenScreenRecording = [&] { ++opened; };
    home->screenRecordButton()->click();
    EXPECT_EQ(opened, 1);
    EXPECT_FALSE(home->isEditingDrafts());
    home->rebuildGrid();
    EXPECT_EQ(home->editButton()->text(), QStringLiteral("编辑"));
    for (auto* card : home->cardViews()) EXPECT_FALSE(card->deleteButton()->isVisible());
}

TEST_F(HomeGallery, ClickOpensOutsideEditModeOnly) {
    addDrafts(2);
    auto home = show();
    std::vector<Uuid> opened;
    home->onOpenDraft = [&](const RecordingProject& p) { opened.push_back(p.id); };
    QTest::mouseClick(home->cardViews()[1], Qt::LeftButton);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], library->drafts[1].id);
    home->toggleEditing();
    QTest::mouseClick(home->cardViews()[1], Qt::LeftButton);
    EXPECT_EQ(opened.size(), 1u);
    EXPECT_TRUE(apptest::visibleAlert() == nullptr);
}

TEST_F(HomeGallery, DeletingAsksAndDeletesOnlyWhenConfirmed) {
    addDrafts(3);
    auto home = show();
    const Uuid second = library->drafts[1].id;

    home->confirmDelete(library->listed(1));
    QMessageBox* box = waitForAlert();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text(), QStringLiteral("删除作品？"));
    EXPECT_EQ(box->informativeText(), QStringLiteral("删除后无法恢复，确定要删除这个作品吗？"));
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    EXPECT_EQ(box->defaultButton()->text(), QStringLiteral("取消"));
    EXPECT_EQ(box->escapeButton()->text(), QStringLiteral("取消"));
    QPointer<QMessageBox> asked(box);
    QTest::keyClick(box, Qt::Key_Return);
    qttest::settle();
    EXPECT_TRUE(!asked || !asked->isVisible()) << "Return left the question open";
    EXPECT_TRUE(library->deleted.empty()) << "Return deleted";
    EXPECT_EQ(home->drafts().size(), 3u);

    home->confirmDelete(library->listed(1));
    box = waitForAlert();
    ASSERT_TRUE(box);
    ASSERT_TRUE(apptest::clickButton(box, QStringLiteral("删除")));
    qttest::settle();
    EXPECT_EQ(library->deleted, std::vector<Uuid>{second});
    ASSERT_EQ(home->drafts().size(), 2u);
    EXPECT_EQ(home->cardViews().size(), 2u);
    EXPECT_EQ(home->cardViews()[1]->currentID(), library->drafts[1].id);
}

// "复制到…" copies the movie byte for byte; a copy that cannot be made says why and leaves
// nothing behind at the destination.
TEST_F(HomeGallery, CopyingAMovieSavesItWholeOrSaysWhy) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::filesystem::path root = dir.path().toStdString();
    const QByteArray bytes(3 * 1024 * 1024 + 17, 'z');
    {
        std::ofstream movie(root / "main.mp4", std::ios::binary);
        movie.write(bytes.data(), bytes.size());
    }
    RecordingProject draft = makeDraft(0, daysAgo(1), 5);
    draft.mainVideo = root / "main.mp4";
    library->drafts.push_back(draft);
    auto home = show();
    std::filesystem::path asked;
    home->chooseCopyDestination = [&](const std::filesystem::path& movie) {
        asked = movie;
        return std::optional(root / "copy.mp4");
    };
    std::unique_ptr<QMenu> menu(home->makeDraftMenu(0));
    menuAction(*menu, QStringLiteral("复制到…"))->trigger();
    EXPECT_EQ(asked, root / "main.mp4");
    ASSERT_TRUE(pumpUntil([&] { return std::filesystem::exists(root / "copy.mp4"); }));
    std::ifstream copy(root / "copy.mp4", std::ios::binary);
    const std::string copied((std::istreambuf_iterator<char>(copy)), {});
    EXPECT_EQ(copied, bytes.toStdString());

    home->copyDraftMovie(library->listed(0), root / "missing" / "copy.mp4");
    QMessageBox* error = waitForAlert();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->text(), QStringLiteral("复制失败"));
    EXPECT_TRUE(error->informativeText().contains(QStringLiteral("missing/copy.mp4")));
    EXPECT_FALSE(std::filesystem::exists(root / "missing"));
    error->done(0);
}

TEST_F(HomeGallery, DeletingTheLastDraftLeavesEditMode) {
    addDrafts(1);
    auto home = show();
    home->toggleEditing();
    home->cardViews()[0]->deleteButton()->click();
    QMessageBox* box = waitForAlert();
    ASSERT_TRUE(box);
    apptest::clickButton(box, QStringLiteral("删除"));
    qttest::settle();
    EXPECT_TRUE(home->drafts().empty());
    EXPECT_FALSE(home->isEditingDrafts());
    EXPECT_FALSE(home->editButton()->isEnabled());
    EXPECT_EQ(home->editButton()->text(), QStringLiteral("编辑"));
    EXPECT_TRUE(home->emptyStateLabel()->isVisible());
}

TEST_F(HomeGallery, AFailedDeleteShowsTheErrorAndChangesNothing) {
    addDrafts(2);
    library->failure =
        DraftDeletionError{"/drafts/cache", std::make_error_code(std::errc::permission_denied)};
    auto home = show();
    const auto cards = home->cardViews();
    home->confirmDelete(library->listed(0));
    QMessageBox* box = waitForAlert();
    ASSERT_TRUE(box);
    apptest::clickButton(box, QStringLiteral("删除"));
    QMessageBox* error = nullptr;
    ASSERT_TRUE(pumpUntil([&] { return (error = apptest::visibleAlert()) && error != box; }));
    EXPECT_EQ(error->text(), QStringLiteral("删除失败"));
    EXPECT_EQ(error->informativeText(),
              QStringLiteral("没有权限删除其中的文件，草稿未被删除（/drafts/cache）"));
    EXPECT_EQ(error->icon(), QMessageBox::Critical);
    EXPECT_EQ(apptest::buttonTexts(error), std::vector<QString>{QStringLiteral("好")});
    apptest::clickButton(error, QStringLiteral("好"));
    qttest::settle();
    EXPECT_EQ(home->drafts().size(), 2u);
    EXPECT_EQ(home->cardViews(), cards);
}

TEST_F(HomeGallery, CardsShowTitleBadgesAndTheirOwnThumbnail) {
    library->drafts.push_back(makeDraft(0, QDateTime(QDate::currentDate(), QTime(9, 5)), 59.5));
    library->drafts.push_back(makeDraft(1, daysAgo(3), 4503, /*withMovie=*/false));
    library->drafts.back().isDraft = false;
    thumbnails->unreadable = {"/drafts/9/main.mp4"};
    auto home = show();
    auto* today = home->cardViews()[0];
    auto* older = home->cardViews()[1];
    EXPECT_EQ(today->titleLabel()->text(), QStringLiteral("今天 09:05"));
    EXPECT_EQ(today->durationLabel()->text(), QStringLiteral(" 01:00 "));
    EXPECT_GE(today->durationLabel()->width(), 48);
    EXPECT_EQ(today->durationLabel()->geometry().bottomLeft(), QPoint(8, 190 - 8 - 1));
    EXPECT_TRUE(today->tagLabel()->isVisible());
    EXPECT_EQ(today->tagLabel()->geometry(), QRect(170 - 8 - 38, 162, 38, 20));
    EXPECT_EQ(older->durationLabel()->text(), QStringLiteral(" 75:03 "));
    EXPECT_FALSE(older->tagLabel()->isVisible());

    ASSERT_TRUE(pumpUntil([&] { return !today->thumbnail().isNull(); }));
    // A draft without a movie asks for nothing and keeps an empty picture.
    for (const auto& movie : thumbnails->requested())
        EXPECT_EQ(movie, *library->drafts[0].mainVideo);
    EXPECT_TRUE(older->thumbnail().isNull());
    // A late picture for another project is dropped.
    today->applyThumbnail(library->drafts[1].id, QImage(10, 10, QImage::Format_ARGB32));
    EXPECT_NE(today->thumbnail().width(), 10);
}

// A listing that takes its time (a slow disk, a hostile drafts folder) never holds up the window:
// it stays responsive and claims nothing until the drafts arrive.
TEST_F(HomeGallery, ASlowListingDoesNotHoldUpTheWindow) {
    struct SlowLibrary : FakeLibrary {
        std::mutex mutex;
        std::condition_variable changed;
        bool released = false;
        std::vector<ListedDraft> listDrafts() override {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return released; });
            return FakeLibrary::listDrafts();
        }
    };
    auto slow = std::make_shared<SlowLibrary>();
    slow->drafts.push_back(makeDraft(0, daysAgo(1), 30));
    auto started = std::chrono::steady_clock::now();
    HomeView home(slow, thumbnails);
    home.resize(900, 700);
    home.show();
    bool ticked = false;
    QTimer::singleShot(50, &home, [&] { ticked = true; });
    ASSERT_TRUE(pumpUntil([&] { return ticked; }));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
              5.0);
    EXPECT_TRUE(home.isListing());
    EXPECT_FALSE(home.emptyStateLabel()->isVisible());
    {
        std::lock_guard lock(slow->mutex);
        slow->released = true;
    }
    slow->changed.notify_all();
    ASSERT_TRUE(pumpUntil([&] { return !home.isListing() && home.cardViews().size() == 1; }));
}

// Movies that read slowly (or never end) hold threads of the gallery's own, two at a time: Qt's
// global pool, which its painter also needs, stays free and the window goes on drawing.
TEST_F(HomeGallery, SlowThumbnailsKeepToThreadsOfTheirOwn) {
    struct StuckThumbnails : DraftThumbnailGenerator {
        std::mutex mutex;
        std::condition_variable changed;
        bool released = false;
        int started = 0;
        QImage thumbnail(const std::filesystem::path&) override {
            std::unique_lock lock(mutex);
            ++started;
            changed.wait(lock, [&] { return released; });
            QImage image(32, 18, QImage::Format_ARGB32);
            image.fill(Qt::green);
            return image;
        }
        int startedCount() {
            std::lock_guard lock(mutex);
            return started;
        }
    };
    auto stuck = std::make_shared<StuckThumbnails>();
    // Whatever happens below, the threads are let go (they outlive the test).
    struct Release {
        StuckThumbnails& stuck;
        void now() {
            {
                std::lock_guard lock(stuck.mutex);
                stuck.released = true;
            }
            stuck.changed.notify_all();
        }
        ~Release() { now(); }
    } release{*stuck};
    // Should the window wait for the stuck threads to draw, they are let go after a while.
    std::atomic<bool> drawn{false}, rescued{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 150 && !drawn; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!drawn) {
            rescued = true;
            release.now();
        }
    });
    struct Join {
        std::thread& thread;
        std::atomic<bool>& drawn;
        ~Join() {
            drawn = true;
            if (thread.joinable()) thread.join();
        }
    } join{watchdog, drawn};
    addDrafts(5);
    HomeView home(library, stuck);
    home.resize(900, 700);
    home.show();
    ASSERT_TRUE(pumpUntil([&] { return stuck->startedCount() == 2; }));
    qttest::pumpFor(std::chrono::milliseconds(300));
    EXPECT_EQ(stuck->startedCount(), 2);
    EXPECT_EQ(QThreadPool::globalInstance()->activeThreadCount(), 0);
    EXPECT_FALSE(home.grab().isNull());
    drawn = true;
    watchdog.join();
    EXPECT_FALSE(rescued) << "the window could not draw while pictures were being made";
    release.now();
    ASSERT_TRUE(pumpUntil([&] {
        const auto cards = home.cardViews();
        return cards.size() == 5 && std::all_of(cards.begin(), cards.end(), [](DraftCard* card) {
                   return !card->thumbnail().isNull();
               });
    }));
}

// The real picture maker on what a drafts folder may hold instead of a movie: a FIFO, a folder,
// a file that is no movie. Each gives no picture, at once.
TEST(DraftThumbnails, WhatIsNoMovieGivesNoPictureAtOnce) {
    std::string pattern = (std::filesystem::temp_directory_path() / "zimlo-thumbs-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const std::filesystem::path dir = pattern;
    ASSERT_EQ(::mkfifo((dir / "fifo.mp4").c_str(), 0644), 0);
    std::filesystem::create_directory(dir / "folder.mp4");
    std::ofstream(dir / "text.mp4") << "not a movie";
    auto generator = makeMovieThumbnailGenerator();
    for (const char* name : {"fifo.mp4", "folder.mp4", "text.mp4"}) {
        SCOPED_TRACE(name);
        const std::filesystem::path movie = dir / name;
        auto made = std::async(std::launch::async, [&] { return generator->thumbnail(movie); });
        if (made.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ::close(::open(movie.c_str(), O_WRONLY | O_NONBLOCK));  // lets the reader go
            made.wait();
            ADD_FAILURE() << "the picture maker waited on " << movie;
            continue;
        }
        EXPECT_TRUE(made.get().isNull());
    }
    std::filesystem::remove_all(dir);
}

// The gallery over a real drafts folder: a copied draft folder carries the original's id, and
// deleting its card removes that folder only, leaving the original listed.
TEST_F(HomeGallery, DeletingACopiedDraftRemovesOnlyItsFolder) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "zimlo-gallery-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const std::filesystem::path root = std::filesystem::path(pattern) / "Drafts";
    auto store = std::make_shared<DraftStore>(root);
    RecordingProject original = makeDraft(0, daysAgo(2), 30, /*withMovie=*/false);
    const auto originalDir = store->draftDirectory(original.id);
    std::filesystem::create_directories(originalDir);
    std::ofstream(originalDir / "project.json") << zimlo::test::valueOrFailure(original.toJSON());
    const auto copyDir = root / Uuid::generate().uuidString();
    std::filesystem::copy(originalDir, copyDir);

    library = nullptr;
    HomeView home(makeDraftStoreLibrary(store), thumbnails);
    home.resize(900, 700);
    home.show();
    ASSERT_TRUE(pumpUntil([&] { return !home.isListing() && home.cardViews().size() == 2; }));
    size_t copyIndex = home.listedDrafts()[0].directory == copyDir ? 0 : 1;
    ASSERT_EQ(home.listedDrafts()[copyIndex].directory, copyDir);
    home.toggleEditing();
    home.cardViews()[copyIndex]->deleteButton()->click();
    QMessageBox* box = waitForAlert();
    ASSERT_TRUE(box);
    apptest::clickButton(box, QStringLiteral("删除"));
    ASSERT_TRUE(pumpUntil([&] { return home.cardViews().size() == 1; }));
    EXPECT_FALSE(std::filesystem::exists(copyDir));
    EXPECT_TRUE(std::filesystem::exists(originalDir / "project.json"));
    EXPECT_EQ(home.listedDrafts()[0].directory, originalDir);
    std::filesystem::remove_all(pattern);
}

TEST(DraftTexts, TitlesAndDurations) {
    const QDateTime now(QDate(2026, 12, 7), QTime(15, 30));
    EXPECT_EQ(draftTitle(QDateTime(QDate(2026, 12, 7), QTime(9, 5)), now),
              QStringLiteral("今天 09:05"));
    EXPECT_EQ(draftTitle(QDateTime(QDate(2026, 3, 5), QTime(21, 7)), now),
              QStringLiteral("3月5日 21:07"));
    EXPECT_EQ(draftTitle(QDateTime(QDate(2026, 12, 6), QTime(23, 59)), now),
              QStringLiteral("12月6日 23:59"));
    EXPECT_EQ(durationBadgeText(59.5), QStringLiteral(" 01:00 "));
    EXPECT_EQ(durationBadgeText(3599.4), QStringLiteral(" 59:59 "));
    EXPECT_EQ(durationBadgeText(65), QStringLiteral(" 01:05 "));
    EXPECT_EQ(durationBadgeText(4503), QStringLiteral(" 75:03 "));
    EXPECT_EQ(durationBadgeText(0.49), QStringLiteral(" 00:00 "));
    EXPECT_EQ(durationBadgeText(-3), QStringLiteral(" 00:00 "));
    EXPECT_EQ(durationBadgeText(std::nan("")), QStringLiteral(" 00:00 "));
    // A document may claim any length; the badge stops at 9999:59.
    EXPECT_EQ(durationBadgeText(9999 * 60 + 59.4), QStringLiteral(" 9999:59 "));
    EXPECT_EQ(durationBadgeText(1e308), QStringLiteral(" 9999:59 "));
    EXPECT_EQ(durationBadgeText(INFINITY), QStringLiteral(" 00:00 "));
}

}  // namespace
}  // namespace zimlo::app
