#pragma once

#include <QFont>

namespace zimlo::recording {

// Whether the ten digits of `font` share one advance, so that a number keeps its width as it
// changes.
bool hasTabularDigits(const QFont& font);

// `font` when its digits share one advance (most user-interface fonts); otherwise the same size
// and weight in an installed family whose digits do, so that durations do not jitter while they
// count. Qt here has no switch for the fonts' own tabular-figure feature.
QFont withTabularDigits(const QFont& font);

}  // namespace zimlo::recording
