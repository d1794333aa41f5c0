#include "app/ProgressScale.h"

#include <climits>

namespace vex::app
{
ProgressScale ProgressScale::ForTotal(long long total)
{
    ProgressScale scale;
    if (total > kMaxSteps)
    {
        scale.divisor = static_cast<double>(total) / static_cast<double>(kMaxSteps);
        scale.maximum = static_cast<int>(kMaxSteps);
    }
    else
    {
        // A negative total can only come from a broken count; an inverted range would hide the bar.
        scale.maximum = total > 0 ? static_cast<int>(total) : 0;
    }
    return scale;
}

int ProgressScale::ValueFor(long long sum) const
{
    const double value = static_cast<double>(sum) / divisor;
    // Converting a double outside int's range is undefined; a sum can run past the announced total
    // (or arrive before it), so the value is held to what an int can show.
    if (value >= static_cast<double>(INT_MAX))
    {
        return INT_MAX;
    }
    if (value <= 0.0)
    {
        return 0;
    }
    return static_cast<int>(value);
}

}  // namespace vex::app
