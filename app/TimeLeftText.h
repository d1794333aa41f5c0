#pragma once

#include <QString>

namespace vex::app
{
// The few texts the window's time-left label shows. Kept to whole minutes: an estimate is not precise enough
// for more, and a text that changed every second would draw the eye away from the outcome.
class TimeLeftText
{
public:
    // The estimate for `seconds` left: "Less than a minute left", "About N min left" (N from 1 to 60, the
    // nearest whole minute) or "More than an hour left"; empty for a negative value (no estimate yet).
    static QString For(long long seconds);
    // What replaces the estimate at the end of the run.
    static QString Outcome(bool ok);
    // Every text For and Outcome can give, for checking that each fits the label.
    static QStringList All();
};

}  // namespace vex::app
