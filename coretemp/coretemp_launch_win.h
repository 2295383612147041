#pragma once

// The Win32 launcher's one seam, for the wine tests: its CreateProcessW call.

#include "coretemp_launch.h"

#include <windows.h>

/// ERROR_ELEVATION_REQUIRED, which MinGW's headers lack: CreateProcessW's
/// answer for a program whose manifest asks for administrator rights.
constexpr DWORD kErrorElevationRequired = 740;

/// The process-creation step of the launcher: CreateProcessW itself, or a
/// test's stand-in that fails the way a real Windows PC can and wine cannot.
using CreateProcessStep = decltype(&CreateProcessW);

/// startHiddenProcess with its CreateProcessW call replaced by `createProcess`.
LaunchOutcome startHiddenProcessVia(const std::string &utf8Path, CreateProcessStep createProcess);
