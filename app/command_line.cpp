#include "command_line.h"

#include <QString>

#include <cstdio>
#include <cstring>

#include "coretemp/coretemp.h"

namespace {

bool contains(const QString &argument, const char *word)
{
    return argument.indexOf(QLatin1String(word), 0, Qt::CaseSensitive) != -1;
}

} // namespace

ModeRequest scanModes(int argc, char **argv)
{
    ModeRequest request;
    if (!argv)
        return request;
    for (int i = 0; i < argc; ++i) {
        // fromUtf8(nullptr) is a null string, which contains nothing.
        const QString argument = QString::fromUtf8(argv[i]);
        if (contains(argument, "check"))
            request.check = true;
        if (contains(argument, "grab"))
            request.grab = true;
    }
    return request;
}

InfoRequest infoRequest(int argc, char **argv)
{
    const ModeRequest request = scanModes(argc, argv);
    if (request.check || request.grab || argc != 2 || !argv[1])
        return InfoRequest::None;
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)
        return InfoRequest::Usage;
    if (std::strcmp(argv[1], "--version") == 0)
        return InfoRequest::Version;
    return InfoRequest::None;
}

bool printCheckResult()
{
    const bool succeeded = probeCoreTemp() != Absent;
    // The reader parses this line byte for byte, the space before the brace
    // included. No explicit flush: exit follows at once and flushes it.
    std::printf("{\"checkHardwareSucceed\": %s }\r\n", succeeded ? "true" : "false");
    return succeeded;
}

void printUsage()
{
    std::fputs("Usage: pcreport check | grab | --version\n"
               "  check      print {\"checkHardwareSucceed\": true|false } and exit with 1 when\n"
               "             Core Temp runs or lies beside this program, 0 when not\n"
               "  grab       print one JSON record of the machine's state per sample until killed\n"
               "  --version  print the program's version\n"
               "An argument selects a mode when it holds the word; check wins over grab.\n",
               stdout);
}

void printVersion()
{
    std::fputs("pcreport " PCREPORT_VERSION "\n", stdout);
}
