#pragma once

#include <QDateTime>
#include <QString>

#include "model/Date.h"

// Texts of a draft card.
namespace zimlo::app {

QDateTime toQDateTime(const Date& date);

// "今天 HH:mm" when `createdAt` falls on the same local day as `now`, else "M月d日 HH:mm",
// both in the local time zone.
QString draftTitle(const QDateTime& createdAt, const QDateTime& now = QDateTime::currentDateTime());

// The longest duration a badge shows, 9999:59; longer ones show that.
inline constexpr long long kLongestBadgeSeconds = 9999 * 60 + 59;

// " mm:ss " of the duration rounded to whole seconds (halves away from zero); minutes are not
// capped at 59, the whole at kLongestBadgeSeconds. Negative or non-finite durations show as zero.
QString durationBadgeText(double seconds);

}  // namespace zimlo::app
