#pragma once

namespace vex::app
{
// How the window's progress bar maps byte counts onto its int range. A bar never gets more than
// 2,000,000 steps: a larger total is scaled down by a fractional divisor, so that 64-bit totals fit.
struct ProgressScale
{
    static constexpr long long kMaxSteps = 2000000;

    double divisor = 1.0;  // bytes per step
    int maximum = 0;       // the bar's maximum (its minimum is 0)

    // The scale for the whole amount of work of a run.
    static ProgressScale ForTotal(long long total);

    // The bar value for the running sum of processed bytes (truncated).
    int ValueFor(long long sum) const;
};

}  // namespace vex::app
