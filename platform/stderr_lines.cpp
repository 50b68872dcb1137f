#include "stderr_lines.h"

#include <QByteArray>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace platform {
namespace {

// As much as a terminal or a pipe takes at once: more lines than this while standard error is
// stopped are lost rather than kept without end.
constexpr size_t kMostQueued = 200;

// Never destroyed: the writer thread waits on them until the process is gone, static
// destructors or not.
struct Queue {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<QByteArray> lines;
    unsigned long lost = 0;
    bool writing = false; // a line is being written: the queue is not drained yet
    bool started = false;
};
Queue &queue = *new Queue;

// The whole line, or false when standard error takes no more of it (closed, its reader gone, a
// terminal that refuses). One left non-blocking by whoever started the program is waited for
// here, so that no line is cut short or dropped without being counted.
bool writeAll(const QByteArray &line)
{
    qsizetype done = 0;
    while (done < line.size()) {
        const ssize_t written = ::write(STDERR_FILENO, line.constData() + done, size_t(line.size() - done));
        if (written > 0) {
            done += written;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd room = {STDERR_FILENO, POLLOUT, 0};
            ::poll(&room, 1, -1);
        } else if (!(written < 0 && errno == EINTR)) {
            return false;
        }
    }
    return true;
}

void writeForever()
{
    std::unique_lock lock(queue.lock);
    for (;;) {
        queue.changed.wait(lock, [] { return !queue.lines.empty(); });
        QByteArray line = std::move(queue.lines.front());
        queue.lines.pop_front();
        queue.writing = true;
        lock.unlock();
        const bool taken = writeAll(line);
        lock.lock();
        queue.writing = false;
        if (!taken) {
            ++queue.lost;
        } else if (queue.lines.empty() && queue.lost > 0) {
            queue.lines.push_back(QStringLiteral("tenvalia: se perdieron %n mensajes: la salida de errores no los aceptaba\n")
                                .replace(QLatin1String("%n"), QString::number(std::exchange(queue.lost, 0)))
                                .toLocal8Bit());
        }
        queue.changed.notify_all();
    }
}

void queueLine(QByteArray line)
{
    {
        const std::lock_guard lock(queue.lock);
        if (queue.lines.size() >= kMostQueued) {
            ++queue.lost;
            return;
        }
        queue.lines.push_back(std::move(line));
    }
    queue.changed.notify_all();
}

void sayForQt(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    queueLine((qFormatLogMessage(type, context, text) + QLatin1Char('\n')).toLocal8Bit());
    if (type == QtFatalMsg)
        finishSaying(200); // Qt aborts the process next
}

} // namespace

void say(const QString &line) { queueLine((QStringLiteral("tenvalia: ") + line + QLatin1Char('\n')).toLocal8Bit()); }

void sayQtMessagesToo() { qInstallMessageHandler(sayForQt); }

void startSaying()
{
    {
        const std::lock_guard lock(queue.lock);
        if (std::exchange(queue.started, true))
            return;
    }
    std::thread(writeForever).detach();
}

void finishSaying(int milliseconds)
{
    startSaying();
    std::unique_lock lock(queue.lock);
    queue.changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [] { return queue.lines.empty() && !queue.writing; });
}

} // namespace platform
