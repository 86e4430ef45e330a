#include "recording/GlobalShortcutEditor.h"

#include <QHBoxLayout>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QVBoxLayout>

#include "recording/FormRow.h"

namespace zimlo::recording {

QString GlobalShortcutEditor::unavailableNote() {
    return tr(
        "Wayland 桌面上不能使用全局快捷键：桌面门户还没有提供全局快捷键接口。"
        "请在录制窗口内按空格键开始/停止录制，按 P 键暂停/继续。");
}

GlobalShortcutEditor::GlobalShortcutEditor(GlobalShortcutSettings settings, bool available,
                                           QWidget* parent)
    : QWidget(parent), settings_(std::move(settings)) {
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(10);
    QLabel* title = sizedLabel(tr("全局快捷键"), 13);
    QFont bold = title->font();
    bold.setWeight(QFont::DemiBold);
    title->setFont(bold);
    stack->addWidget(title);
    note_ = sizedLabel(
        available ? tr("在任何窗口中按下即可开始/停止或暂停/继续录制。") : unavailableNote(), 12);
    note_->setWordWrap(true);
    note_->setForegroundRole(QPalette::PlaceholderText);
    stack->addWidget(note_);
    if (!available) return;

    toggleRecordingEdit_ = new QKeySequenceEdit(settings_.toggleRecording);
    pauseRecordingEdit_ = new QKeySequenceEdit(settings_.pauseRecording);
    stack->addLayout(formRow(tr("录制"), toggleRecordingEdit_, 200));
    stack->addLayout(formRow(tr("暂停"), pauseRecordingEdit_, 200));
    connect(toggleRecordingEdit_, &QKeySequenceEdit::editingFinished, this,
            &GlobalShortcutEditor::toggleRecordingEdited);
    connect(pauseRecordingEdit_, &QKeySequenceEdit::editingFinished, this,
            &GlobalShortcutEditor::pauseRecordingEdited);
}

void GlobalShortcutEditor::toggleRecordingEdited() {
    edited(toggleRecordingEdit_, settings_.toggleRecording);
}

void GlobalShortcutEditor::pauseRecordingEdited() {
    edited(pauseRecordingEdit_, settings_.pauseRecording);
}

void GlobalShortcutEditor::edited(QKeySequenceEdit* edit, QKeySequence& field) {
    if (!edit) return;
    const QKeySequence typed = edit->keySequence();
    if (typed.isEmpty()) {
        edit->setKeySequence(field);  // cleared: the combination stays what it was
        return;
    }
    // One chord: a sequence of several would need keys pressed one after another.
    const QKeySequence chord(typed[0]);
    edit->setKeySequence(chord);
    if (chord == field) return;
    field = chord;
    if (onChange) onChange(settings_);
}

}  // namespace zimlo::recording
