#include "stderr_lines.h"

#include <QByteArray>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace platform {
namespace {

// As much as a terminal or a pipe takes at once: more lines than this while standard error is
// stopped are lost rather than kept without end.
constexpr size_t kMostQueued = 200;

std::mutex queueLock;
std::condition_variable queueChanged;
std::deque<QByteArray> queue;
unsigned long lost = 0;
bool writing = false; // a line is being written: the queue is not drained yet
bool started = false;

void writeAll(const QByteArray &line)
{
    qsizetype done = 0;
    while (done < line.size()) {
        const ssize_t written = ::write(STDERR_FILENO, line.constData() + done, size_t(line.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return; // closed, or a reader gone: nobody to tell
        done += written;
    }
}

void writeForever()
{
    std::unique_lock lock(queueLock);
    for (;;) {
        queueChanged.wait(lock, [] { return !queue.empty(); });
        QByteArray line = std::move(queue.front());
        queue.pop_front();
        writing = true;
        lock.unlock();
        writeAll(line);
        lock.lock();
        writing = false;
        if (queue.empty() && lost > 0) {
            queue.push_back(QStringLiteral("tenvalia: se perdieron %n mensajes: la salida de errores no los aceptaba\n")
                                .replace(QLatin1String("%n"), QString::number(std::exchange(lost, 0)))
                                .toLocal8Bit());
        }
        queueChanged.notify_all();
    }
}

void queueLine(QByteArray line)
{
    {
        const std::lock_guard lock(queueLock);
        if (queue.size() >= kMostQueued) {
            ++lost;
            return;
        }
        queue.push_back(std::move(line));
    }
    queueChanged.notify_all();
}

void sayForQt(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    queueLine((qFormatLogMessage(type, context, text) + QLatin1Char('\n')).toLocal8Bit());
    if (type == QtFatalMsg)
        finishSaying(200); // Qt aborts the process next
}

} // namespace

void say(const QString &line) { queueLine((QStringLiteral("tenvalia: ") + line + QLatin1Char('\n')).toLocal8Bit()); }

void startSaying()
{
    {
        const std::lock_guard lock(queueLock);
        if (std::exchange(started, true))
            return;
    }
    std::thread(writeForever).detach();
    qInstallMessageHandler(sayForQt);
}

void finishSaying(int milliseconds)
{
    startSaying();
    std::unique_lock lock(queueLock);
    queueChanged.wait_for(lock, std::chrono::milliseconds(milliseconds), [] { return queue.empty() && !writing; });
}

} // namespace platform
