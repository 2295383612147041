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

/// True when no mode word was found and the arguments after the program name
/// are exactly "--help" or "-h".
bool wantsUsage(int argc, char **argv);

/// Probes for Core Temp, prints the check line and returns the verdict
/// (true unless Core Temp is Absent).
bool printCheckResult();

/// Prints a short usage text to standard output.
void printUsage();
