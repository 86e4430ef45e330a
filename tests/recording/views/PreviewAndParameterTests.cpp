#include <gtest/gtest.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QKeySequenceEdit>
#include <QLabel>
#include <filesystem>
#include <memory>

#include "app/QtTestSupport.h"
#include "recording/CameraPreviewView.h"
#include "recording/GlobalShortcutEditor.h"
#include "recording/RecordingParameterPopover.h"
#include "recording/ScreenPreviewView.h"

namespace zimlo::recording {
namespace {

using namespace std::chrono_literals;

media::VideoSample solidFrame(int width, int height, uint8_t blue, uint8_t green, uint8_t red) {
    auto pixels = std::make_shared<media::PixelBuffer>(width, height, media::PixelFormat::BGRA);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = pixels->data() + static_cast<size_t>(y) * pixels->stride();
        for (int x = 0; x < width; ++x) {
            row[x * 4 + 0] = blue;
            row[x * 4 + 1] = green;
            row[x * 4 + 2] = red;
            row[x * 4 + 3] = 255;
        }
    }
    media::VideoSample sample;
    sample.pixels = pixels;
    return sample;
}

TEST(ScreenPreview, ShowsTheLatestFrameWholeOnBlackAndDropsFramesAfterItIsGone) {
    auto view = std::make_unique<ScreenPreviewView>();
    view->resize(400, 400);
    auto handler = view->frameHandler();
    handler(media::VideoSample{});  // no picture: nothing to show
    handler(solidFrame(200, 100, 0, 0, 255));
    handler(solidFrame(200, 100, 0, 255, 0));
    ASSERT_TRUE(qttest::pumpUntil(
        [&] {
            return !view->currentImage().isNull() &&
                   view->currentImage().pixel(0, 0) == qRgb(0, 255, 0);
        },
        20s));
    EXPECT_EQ(view->imageRect(), QRect(0, 100, 400, 200));
    const QImage shot = view->grab().toImage();
    EXPECT_EQ(shot.pixelColor(200, 50), QColor(Qt::black));
    EXPECT_EQ(shot.pixelColor(200, 200), QColor(0, 255, 0));

    view.reset();
    handler(solidFrame(200, 100, 255, 0, 0));  // the view is gone: dropped without effect
    qttest::settle();
}

TEST(CameraPreview, FillsItsViewCroppedAtTheEdges) {
    auto layer = std::make_shared<capture::CameraPreviewLayer>();
    CameraPreviewView view(layer);
    view.resize(220, 150);
    layer->deliver(solidFrame(160, 90, 10, 20, 30));
    ASSERT_TRUE(qttest::pumpUntil([&] { return !view.currentImage().isNull(); }, 20s));
    const QRect drawn = view.imageRect();
    EXPECT_TRUE(drawn.contains(view.rect()));
    EXPECT_EQ(drawn.height(), 150);
    view.resize(300, 300);
    EXPECT_TRUE(view.imageRect().contains(view.rect()));
}

std::vector<RecordingResolution> offered() { return availableResolutions(2560, 1440); }

TEST(ParameterPopover, InitialSelectionAndEveryPickReportsTheWholeSettings) {
    const auto list = offered();
    ASSERT_GE(list.size(), 3u);
    // A size that is no longer offered shows the last entry, and nothing changes until a pick.
    RecordingParameterPopover stale(RecordingSettings({999, 555, "odd"}, CaptureFrameRate::fps24),
                                    list);
    EXPECT_EQ(stale.resolutionControl()->currentIndex(), static_cast<int>(list.size()) - 1);
    EXPECT_EQ(stale.frameRateControl()->checkedId(), 0);
    EXPECT_EQ(stale.settings().resolution.width, 999);

    RecordingParameterPopover popover(RecordingSettings(list[1], CaptureFrameRate::fps60), list);
    EXPECT_EQ(popover.resolutionControl()->currentIndex(), 1);
    EXPECT_EQ(popover.frameRateControl()->checkedId(), 2);
    std::vector<RecordingSettings> changes;
    popover.onChange = [&](RecordingSettings s) { changes.push_back(s); };

    popover.frameRateControl()->button(2)->click();  // already selected: still reported
    popover.resolutionControl()->setCurrentIndex(0);
    popover.resolutionChanged();
    popover.frameRateControl()->button(0)->click();
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[0], RecordingSettings(list[1], CaptureFrameRate::fps60));
    EXPECT_EQ(changes[1], RecordingSettings(list[0], CaptureFrameRate::fps60));
    EXPECT_EQ(changes[2], RecordingSettings(list[0], CaptureFrameRate::fps24));

    popover.setInteractionEnabled(false);
    EXPECT_FALSE(popover.resolutionControl()->isEnabled());
    popover.frameRateControl()->button(1)->click();  // disabled buttons ignore clicks
    EXPECT_EQ(changes.size(), 3u);
}

// Nothing is cut: every control lies inside the 20-point insets whole, each segment shows its
// label, and the note gets the height its wrapped lines need.
TEST(ParameterPopover, EveryControlAndTheWrappedNoteAreWhole) {
    const auto list = offered();
    RecordingParameterPopover popover(RecordingSettings(list[0], CaptureFrameRate::fps60), list);
    popover.show();
    qttest::settle();
    const QRect content = popover.rect().marginsRemoved(QMargins(20, 20, 20, 20));
    const auto children = popover.findChildren<QWidget*>();
    ASSERT_GE(children.size(), 8);  // title, note, two labels, pop-up, segments and their buttons
    for (QWidget* child : children) {
        if (!child->isVisible()) continue;  // the pop-up's closed list
        const QRect placed(child->mapTo(&popover, QPoint(0, 0)), child->size());
        EXPECT_TRUE(content.contains(placed))
            << child->metaObject()->className() << " at " << placed.x() << "," << placed.y() << " "
            << placed.width() << "x" << placed.height() << " outside the content "
            << content.width() << "x" << content.height();
        if (auto* label = qobject_cast<QLabel*>(child); label && label->wordWrap()) {
            EXPECT_GE(label->height(), label->heightForWidth(label->width()));
        }
        if (auto* button = qobject_cast<QAbstractButton*>(child)) {
            EXPECT_GE(button->width(), button->sizeHint().width())
                << button->text().toStdString() << " cut";
        }
    }
    EXPECT_GE(popover.resolutionControl()->width(), 250);
    EXPECT_GE(popover.resolutionControl()->width(),
              popover.resolutionControl()->sizeHint().width());
    popover.close();
}

TEST(ParameterPopover, TheChosenFrameRateStandsOutFromTheOthers) {
    const auto list = offered();
    RecordingParameterPopover popover(RecordingSettings(list[0], CaptureFrameRate::fps30), list);
    popover.show();
    qttest::settle();
    const QImage picture = popover.grab().toImage();
    // The colour of a button's face, away from its border and text.
    auto face = [&](int id) {
        QAbstractButton* button = popover.frameRateControl()->button(id);
        const QPoint inside = button->mapTo(&popover, QPoint(4, button->height() / 2));
        return picture.pixelColor(inside);
    };
    const QColor chosen = face(1);
    for (int id : {0, 2}) {
        const QColor other = face(id);
        // Not two greys a few steps apart: the chosen one is coloured, the others are not.
        EXPECT_GT(chosen.saturation(), 150) << chosen.name().toStdString();
        EXPECT_LT(other.saturation(), 60) << other.name().toStdString();
        EXPECT_GT(std::abs(chosen.value() - other.value()), 100)
            << chosen.name().toStdString() << " against " << other.name().toStdString();
    }
    popover.close();
}

TEST(ParameterPopover, AnEmptyListReportsNothing) {
    RecordingParameterPopover popover(RecordingSettings::defaultSettings(), {});
    int calls = 0;
    popover.onChange = [&](RecordingSettings) { ++calls; };
    popover.resolutionChanged();
    EXPECT_EQ(calls, 0);
}

// The global-shortcut section: combinations X can grab, the editors taking one chord each and
// reporting it, a store that keeps them, and on Wayland a note instead of editors.
TEST(GlobalShortcutSection, CombinationsEditorsStoreAndTheWaylandNote) {
    using Hotkeys = x11::GlobalHotkeys;
    EXPECT_EQ(x11Combination(QKeySequence(QStringLiteral("Ctrl+Alt+R"))),
              (Hotkeys::Combination{Hotkeys::control | Hotkeys::alt, 0x72}));
    EXPECT_EQ(x11Combination(QKeySequence(QStringLiteral("Meta+Shift+F5"))),
              (Hotkeys::Combination{Hotkeys::super | Hotkeys::shift, 0xffc2}));
    EXPECT_EQ(x11Combination(QKeySequence(QStringLiteral("Ctrl+7"))),
              (Hotkeys::Combination{Hotkeys::control, 0x37}));
    EXPECT_FALSE(x11Combination(QKeySequence(QStringLiteral("Shift+R"))));  // no Ctrl/Alt/Super
    EXPECT_FALSE(x11Combination(QKeySequence()));

    GlobalShortcutEditor editor(GlobalShortcutSettings{}, true);
    std::vector<GlobalShortcutSettings> changes;
    editor.onChange = [&](GlobalShortcutSettings s) { changes.push_back(s); };
    editor.pauseRecordingEdit()->setKeySequence(QKeySequence(QStringLiteral("Ctrl+Alt+K, X")));
    editor.pauseRecordingEdited();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].pauseRecording, QKeySequence(QStringLiteral("Ctrl+Alt+K")));
    EXPECT_EQ(changes[0].toggleRecording, QKeySequence(QStringLiteral("Ctrl+Alt+R")));
    editor.toggleRecordingEdit()->clear();  // cleared: stays as it was, nothing reported
    editor.toggleRecordingEdited();
    EXPECT_EQ(changes.size(), 1u);
    EXPECT_EQ(editor.toggleRecordingEdit()->keySequence(), QKeySequence("Ctrl+Alt+R"));

    const auto file = std::filesystem::temp_directory_path() /
                      ("zimlo-shortcuts-" + std::to_string(::getpid()) + ".json");
    std::filesystem::remove(file);
    GlobalShortcutStore store(std::make_shared<SettingsFile>(file));
    EXPECT_EQ(store.load(), GlobalShortcutSettings{});
    ASSERT_TRUE(store.save(changes[0]));
    EXPECT_EQ(store.load(), changes[0]);
    ASSERT_TRUE(std::make_shared<SettingsFile>(file)->setString(
        GlobalShortcutStore::pauseRecordingKey, "R"));
    EXPECT_EQ(store.load().pauseRecording, GlobalShortcutSettings{}.pauseRecording);
    std::filesystem::remove(file);

    GlobalShortcutEditor wayland(GlobalShortcutSettings{}, false);
    EXPECT_EQ(wayland.toggleRecordingEdit(), nullptr);
    EXPECT_EQ(wayland.note()->text(), GlobalShortcutEditor::unavailableNote());
    // What the desktop lacks, not which distribution it comes from.
    EXPECT_FALSE(wayland.note()->text().contains(QStringLiteral("Debian")));

    // On Wayland the note takes the lines it needs in the parameters, none cut off.
    {
        RecordingParameterPopover withNote(RecordingSettings::defaultSettings(),
                                           availableResolutions(1920, 1080));
        auto* section = new GlobalShortcutEditor(GlobalShortcutSettings{}, false);
        withNote.addSection(section);
        withNote.show();
        qttest::settle();
        QLabel* note = section->note();
        EXPECT_GE(note->height(), note->heightForWidth(note->width()));
        const QRect placed(note->mapTo(&withNote, QPoint(0, 0)), note->size());
        EXPECT_TRUE(withNote.rect().contains(placed));
        withNote.close();
    }

    // The parameters grow to hold the section.
    RecordingParameterPopover popover(RecordingSettings::defaultSettings(),
                                      availableResolutions(1920, 1080));
    const QSize before = popover.size();
    popover.addSection(new GlobalShortcutEditor(GlobalShortcutSettings{}, true));
    EXPECT_EQ(popover.width(), before.width());
    EXPECT_GT(popover.height(), before.height() + 80);
}

}  // namespace
}  // namespace zimlo::recording
