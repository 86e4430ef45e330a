#include "app/DraftFormatting.h"

#include <QCoreApplication>
#include <algorithm>
#include <cmath>

namespace zimlo::app {

QDateTime toQDateTime(const Date& date) {
    const double ms = std::round(date.secondsSince1970() * 1000.0);
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(ms), Qt::LocalTime);
}

QString draftTitle(const QDateTime& createdAt, const QDateTime& now) {
    const QDateTime local = createdAt.toLocalTime();
    if (local.date() == now.toLocalTime().date()) {
        return QCoreApplication::translate("DraftFormatting", "今天 %1")
            .arg(local.toString(QStringLiteral("HH:mm")));
    }
    // A date format (QDateTime::toString), so a translation can order the parts its own way.
    return local.toString(QCoreApplication::translate("DraftFormatting", "M月d日 HH:mm"));
}

QString durationBadgeText(double seconds) {
    long long s = 0;
    // Halves away from zero. A document may claim any length; the badge is sized for a few
    // digits of minutes, so longer ones show the cap.
    if (std::isfinite(seconds) && seconds > 0)
        s = std::llround(std::min(seconds, static_cast<double>(kLongestBadgeSeconds)));
    return QString::asprintf(" %02lld:%02lld ", s / 60, s - 60 * (s / 60));
}

}  // namespace zimlo::app
