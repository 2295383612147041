#include <QTemporaryFile>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "output/reader_gone.h"

// Whether the reader of standard output is gone, for each kind of output the
// reading program (or a user) may give us: real pipes, sockets, files and a
// terminal, put on file descriptor 1 for the length of one question.

namespace {

/// Asks stdoutReaderGone() with `fd` as standard output (none when `fd` is
/// -1), and puts the test's own standard output back.
bool goneWithStdout(int fd)
{
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    if (fd >= 0)
        ::dup2(fd, STDOUT_FILENO);
    else
        ::close(STDOUT_FILENO);
    const bool gone = stdoutReaderGone();
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    return gone;
}

/// Fills a pipe through its non-blocking write end until it takes no more.
void fill(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    const char chunk[4096] = {};
    while (::write(fd, chunk, sizeof chunk) > 0) {
    }
}

} // namespace

class TestReaderGone : public QObject
{
    Q_OBJECT
private slots:
    void readerGone_data();
    void readerGone();
};

void TestReaderGone::readerGone_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("closeOtherEnd");
    QTest::addColumn<bool>("gone");
    QTest::newRow("pipe, reader there") << "pipe" << false << false;
    // A reader that lags is not a gone reader.
    QTest::newRow("full pipe, reader there") << "full pipe" << false << false;
    QTest::newRow("pipe, reader closed") << "pipe" << true << true;
    QTest::newRow("socket, peer there") << "socket" << false << false;
    // The peer sends nothing more but still reads.
    QTest::newRow("socket, peer's sending half shut") << "half-shut socket" << false << false;
    QTest::newRow("socket, peer closed") << "socket" << true << true;
    QTest::newRow("file") << "file" << false << false;
    QTest::newRow("null device") << "/dev/null" << false << false;
    // A hung-up terminal is the terminal's business (SIGHUP), not ours.
    QTest::newRow("terminal, other side closed") << "terminal" << true << false;
    QTest::newRow("no standard output") << "none" << false << false;
}

void TestReaderGone::readerGone()
{
    QFETCH(QString, output);
    QFETCH(bool, closeOtherEnd);
    QFETCH(bool, gone);

    int ours = -1;   // what becomes standard output
    int theirs = -1; // the reader's end, where there is one
    QTemporaryFile file;
    if (output == "pipe" || output == "full pipe") {
        int fds[2];
        QCOMPARE(::pipe2(fds, O_CLOEXEC), 0);
        theirs = fds[0];
        ours = fds[1];
        if (output == "full pipe")
            fill(ours);
    } else if (output.endsWith("socket")) {
        int fds[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        ours = fds[0];
        theirs = fds[1];
        if (output == "half-shut socket")
            QCOMPARE(::shutdown(theirs, SHUT_WR), 0);
    } else if (output == "file") {
        QVERIFY(file.open());
        ours = ::dup(file.handle());
    } else if (output == "/dev/null") {
        ours = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    } else if (output == "terminal") {
        theirs = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(theirs >= 0 && ::grantpt(theirs) == 0 && ::unlockpt(theirs) == 0);
        ours = ::open(::ptsname(theirs), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    }
    QVERIFY(output == "none" || ours >= 0);
    if (closeOtherEnd) {
        ::close(theirs);
        theirs = -1;
    }

    const bool answer = goneWithStdout(ours);
    // Asked again: the question itself must change nothing.
    const bool again = goneWithStdout(ours);
    for (int fd : {ours, theirs}) {
        if (fd >= 0)
            ::close(fd);
    }
    QCOMPARE(answer, gone);
    QCOMPARE(again, gone);
}

QTEST_GUILESS_MAIN(TestReaderGone)
#include "tst_reader_gone.moc"
