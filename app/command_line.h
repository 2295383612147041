#pragma once

#include <QStringList>

/// The modes the command line asks for. Check wins when both are set.
struct ModeRequest
{
    bool check = false;
    bool grab = false;
};

/// Scans every argument, the program's own name (index 0) included, for the
/// case-sensitive substrings "check" and "grab". A null entry contains nothing.
ModeRequest scanModes(int argc, char **argv);

/// What a start without a mode word may ask for instead.
enum class InfoRequest
{
    None,
    Usage,   ///< "--help" or "-h"
    Version, ///< "--version"
};

/// The request of a command line whose only argument after the program name
/// is exactly one of the options above and that holds no mode word; None for
/// every other command line.
InfoRequest infoRequest(int argc, char **argv);

/// Probes for Core Temp, prints the check line and returns the verdict
/// (true unless Core Temp is Absent).
bool printCheckResult();

/// Prints a short usage text to standard output.
void printUsage();

/// Prints "pcreport <version>" and a line end to standard output.
void printVersion();
