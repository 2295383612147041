#pragma once

// One answer per platform file: docs/DESIGN.md, "Platform contract", and why
// it is asked at all: "a grab with nothing to write ends".

/// Whether standard output is a pipe (or a socket) whose reading end has been
/// closed, looked at without writing a byte and without waiting. A file, a
/// terminal, the null device, a closed standard output or anything that cannot
/// be asked is never gone: a slow reader or an unknown kind of output must not
/// end the program.
bool stdoutReaderGone();
