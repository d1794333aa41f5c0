#pragma once

namespace vex::install
{
// How installed files are time-stamped; the tar pass stamps the members it extracts the same way.
enum class DateTimeMode
{
    kNow = 0,          // the current time
    kPackage = 1,      // the package's creation time
    kAsExtracted = 2,  // each file keeps its own time
};

// The run's choices, made once (the window's parameters, the board, the configuration file) and handed by
// value down to the passes. The members are set by name: the two ints are easily swapped by position, and a
// swapped pair still compiles and formats the wrong partitions.
struct InstallOptions
{
    // format.sh's first argument: non-zero asks it to format (bit 0 of the run's install flags).
    int formatFlag = 0;
    // The board's parameter for format.sh, its last argument (a negative one is passed as 0).
    int formatParameter = 0;
    DateTimeMode dateTimeMode = DateTimeMode::kNow;
    // Whether each installed file's digest is checked against what the medium returns rather than against
    // the copy still cached in memory (boot images and kernels always are): READ_BACK_FILES of the
    // configuration file.
    bool readBackFiles = kReadBackFilesByDefault;

    static constexpr bool kReadBackFilesByDefault = true;
};

}  // namespace vex::install
