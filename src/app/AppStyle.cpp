#include "app/AppStyle.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPalette>
#include <QStyleFactory>

namespace zimlo::app::style {

QColor windowBackground() { return QColor(0x26, 0x26, 0x29); }
QColor label() { return QColor(0xec, 0xec, 0xef); }
QColor secondaryLabel() { return QColor(0xa3, 0xa3, 0xab); }
QColor separator() { return QColor(0xff, 0xff, 0xff, 0x66); }
QColor controlBackground() { return QColor(0x1c, 0x1c, 0x1f); }
QColor control() { return QColor(0xff, 0xff, 0xff); }
QColor accent() { return QColor(0x0a, 0x84, 0xff); }
QColor systemBlue() { return QColor(0x0a, 0x84, 0xff); }

QColor withAlpha(QColor color, double alpha) {
    color.setAlphaF(static_cast<float>(color.alphaF() * alpha));
    return color;
}

static QString preferredFamily() {
    static const QString family = [] {
        const QStringList families = QFontDatabase::families();
        for (const char* name : {"Noto Sans CJK SC", "Noto Sans SC", "Noto Sans CJK"}) {
            if (families.contains(QString::fromLatin1(name))) return QString::fromLatin1(name);
        }
        return QString();
    }();
    return family;
}

QFont font(int pixelSize, QFont::Weight weight) {
    QFont f = QApplication::font();
    const QString family = preferredFamily();
    if (!family.isEmpty()) f.setFamily(family);
    f.setPixelSize(pixelSize);
    f.setWeight(weight);
    return f;
}

void apply(QApplication& app) {
    app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QPalette p;
    const QColor text = label();
    p.setColor(QPalette::Window, windowBackground());
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, controlBackground());
    p.setColor(QPalette::AlternateBase, QColor(0x30, 0x30, 0x34));
    p.setColor(QPalette::ToolTipBase, QColor(0x33, 0x33, 0x37));
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, secondaryLabel());
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3f));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Highlight, accent());
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, accent());
    p.setColor(QPalette::Light, QColor(0x4a, 0x4a, 0x50));
    p.setColor(QPalette::Midlight, QColor(0x40, 0x40, 0x46));
    p.setColor(QPalette::Mid, QColor(0x2e, 0x2e, 0x33));
    p.setColor(QPalette::Dark, QColor(0x18, 0x18, 0x1b));
    p.setColor(QPalette::Shadow, Qt::black);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        p.setColor(QPalette::Disabled, role, QColor(0x76, 0x76, 0x7d));
    }
    p.setColor(QPalette::Disabled, QPalette::Button, QColor(0x30, 0x30, 0x34));
    app.setPalette(p);
    app.setFont(font(13));
}

}  // namespace zimlo::app::style

#include <QAbstractScrollArea>
#include <QPushButton>
#include <QScrollBar>

namespace zimlo::app::style {

void roundedButton(QPushButton* button, bool accented) {
    button->setFont(font(13, QFont::Medium));
    button->setCursor(Qt::PointingHandCursor);
    const char* normal = accented ? "#0a84ff" : "#3d3d43";
    const char* hover = accented ? "#2b95ff" : "#47474e";
    const char* pressed = accented ? "#0870d9" : "#333338";
    button->setStyleSheet(
        QStringLiteral("QPushButton { background: %1; color: #f4f4f6; border: 1px solid "
                       "rgba(255,255,255,0.10);"
                       " border-radius: 7px; padding: 5px 14px; min-height: 20px; }"
                       "QPushButton:hover { background: %2; }"
                       "QPushButton:pressed { background: %3; }"
                       // The keyboard's place, clearly visible on the dark theme.
                       "QPushButton:focus { border: 1px solid #ffffff; }"
                       "QPushButton:disabled { background: #303034; color: #78787f; border-color: "
                       "rgba(255,255,255,0.05); }")
            .arg(QLatin1String(normal), QLatin1String(hover), QLatin1String(pressed)));
}

}  // namespace zimlo::app::style

namespace zimlo::app::style {

void slimScrollBars(QAbstractScrollArea* area) {
    area->verticalScrollBar()->setStyleSheet(QStringLiteral(
        "QScrollBar:vertical { background: transparent; width: 8px; margin: 2px 0 2px 0; }"
        "QScrollBar::handle:vertical { background: rgba(255,255,255,0.22); border-radius: 4px;"
        " min-height: 32px; }"
        "QScrollBar::handle:vertical:hover { background: rgba(255,255,255,0.36); }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: transparent; "
        "}"));
}

}  // namespace zimlo::app::style
