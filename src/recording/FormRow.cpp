#include "recording/FormRow.h"

#include <QHBoxLayout>
#include <QLabel>
#include <algorithm>

namespace zimlo::recording {

QLabel* sizedLabel(const QString& text, int pixelSize) {
    auto* l = new QLabel(text);
    QFont font = l->font();
    font.setPixelSize(pixelSize);
    l->setFont(font);
    return l;
}

QHBoxLayout* formRow(const QString& title, QWidget* control, int minimumControlWidth) {
    auto* layout = new QHBoxLayout;
    layout->setSpacing(12);
    QLabel* name = sizedLabel(title, 13);
    // The titles' column is 52 points, wider where a language's title needs more.
    name->setFixedWidth(std::max(52, name->sizeHint().width()));
    name->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    name->setBuddy(control);
    // The row's title names the control for screen readers, and the parts of it that take the
    // focus (the text field inside a key sequence editor).
    QList<QWidget*> named = control->findChildren<QWidget*>();
    named.prepend(control);
    for (QWidget* part : named)
        if (part->focusPolicy() != Qt::NoFocus && part->accessibleName().isEmpty())
            part->setAccessibleName(title);
    control->setMinimumWidth(minimumControlWidth);
    control->setFixedHeight(28);
    layout->addWidget(name, 0, Qt::AlignVCenter);
    layout->addWidget(control, 1, Qt::AlignVCenter);
    return layout;
}

}  // namespace zimlo::recording
