#pragma once

// One launcher per platform file: docs/DESIGN.md, "Platform contract".

#include <string>

/// What the platform launcher did.
struct LaunchOutcome
{
    bool started = false;
    unsigned long error = 0; ///< GetLastError() on Windows, errno on Linux; 0 on success
};

/// Starts the executable at `utf8Path` hidden, detached, with no arguments and
/// inheriting this program's working directory and environment; never waits
/// for it. On Linux the child gets its own session and /dev/null for its
/// standard streams and is reparented so it never becomes our zombie.
LaunchOutcome startHiddenProcess(const std::string &utf8Path);

/// The warning logged when the launch fails: "Failed to start CoreTemp: <code>".
std::string launchFailureMessage(unsigned long error);
