// Linked into a test build of pcreport.exe: every question about the state
// of standard output's pipe is refused, as Windows refuses it on the
// write-only end that QProcess gives its child and wine answers anyway. Set
// before main, so before the first question.

#include "output/reader_gone_win.h"

namespace {

PipeState refused(HANDLE)
{
    return PipeState::Unknown;
}

[[maybe_unused]] const bool g_refused = (setPipeStateQueryForTesting(&refused), true);

} // namespace
