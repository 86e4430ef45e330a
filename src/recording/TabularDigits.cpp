#include "recording/TabularDigits.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QStringList>

namespace zimlo::recording {

bool hasTabularDigits(const QFont& font) {
    const QFontMetricsF metrics(font);
    const qreal advance = metrics.horizontalAdvance(QLatin1Char('0'));
    for (char digit = '1'; digit <= '9'; ++digit) {
        if (!qFuzzyCompare(metrics.horizontalAdvance(QLatin1Char(digit)), advance)) return false;
    }
    return true;
}

QFont withTabularDigits(const QFont& font) {
    if (hasTabularDigits(font)) return font;
    // The application's own family first, then common families with tabular digits, then the
    // desktop's fixed-pitch font.
    QStringList candidates = {QStringLiteral("Noto Sans CJK SC"), QStringLiteral("DejaVu Sans")};
    candidates << QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
    const QStringList installed = QFontDatabase::families();
    for (const QString& family : candidates) {
        if (!installed.contains(family)) continue;
        QFont candidate = font;
        candidate.setFamilies({family});
        if (hasTabularDigits(candidate)) return candidate;
    }
    return font;
}

}  // namespace zimlo::recording
