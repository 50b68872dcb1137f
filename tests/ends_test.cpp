// What the program's ends rely on, in one process: the switch-offs a crash handler or the guardian
// carries out never wait for each other. The real program's ends are e2e_ends.sh's.
#include "platform/port/switch_off.h"

#include <QElapsedTimer>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace port = platform::port;
using How = port::SwitchOff::How;

namespace {

// A pipe whose every byte of room is taken; the write end blocks or not, as asked.
struct FullPipe {
    explicit FullPipe(bool blocking)
    {
        QVERIFY(::pipe2(ends, O_NONBLOCK | O_CLOEXEC) == 0);
        for (const char byte = '\n'; ::write(ends[1], &byte, 1) == 1;) {
        }
        if (blocking)
            ::fcntl(ends[1], F_SETFL, ::fcntl(ends[1], F_GETFL) & ~O_NONBLOCK);
    }
    ~FullPipe() { ::close(ends[0]), ::close(ends[1]); }
    int ends[2] = {-1, -1};
};

port::SwitchOff recipe(How how, int fd, const QByteArray &bytes)
{
    port::SwitchOff off{how, fd};
    off.length = std::uint8_t(bytes.size());
    std::copy(bytes.begin(), bytes.end(), off.bytes);
    return off;
}

} // namespace

class EndsTest : public QObject {
    Q_OBJECT

private slots:
    // The hardware first, each within a limit of its own: a board that stopped taking writes
    // (here a pipe that blocks) keeps none of the others from its turn. A record is written only
    // if it is taken at once: a stopped terminal or a full pipe is passed over.
    void switchOffsNeverWaitForEachOther()
    {
        FullPipe stuckRecord(false), stuckBoard(true);
        int board[2], trace[2];
        QVERIFY(::pipe(board) == 0 && ::pipe(trace) == 0);
        const port::SwitchOff recipes[] = {
            recipe(How::Record, stuckRecord.ends[1], "0x0378 0x0000\n"),
            recipe(How::Write, stuckBoard.ends[1], QByteArray(8, 'S')),
            recipe(How::Record, trace[1], "0x0378 0x0000\n"),
            recipe(How::Write, board[1], QByteArray::fromHex("a00100a1")),
        };
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!port::carryOutAll(recipes, 4));
        QVERIFY2(clock.elapsed() < 10000, qPrintable(QStringLiteral("%1 ms").arg(clock.elapsed())));
        char got[32] = {};
        QCOMPARE(::read(board[0], got, sizeof got), ssize_t(4));
        QCOMPARE(::read(trace[0], got, sizeof got), ssize_t(14));
        for (const int fd : {board[0], board[1], trace[0], trace[1]})
            ::close(fd);
    }
};

QTEST_GUILESS_MAIN(EndsTest)
#include "ends_test.moc"
