#include "wall_alarm.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstdint>
#include <sys/timerfd.h>
#include <unistd.h>

namespace platform::schedule {
namespace {

class WallAlarm final : public Alarm {
public:
    explicit WallAlarm(int fd) : fd_(fd), notifier_(fd, QSocketNotifier::Read)
    {
        connect(&notifier_, &QSocketNotifier::activated, this, [this] {
            std::uint64_t expirations = 0;
            // ECANCELED: the clock was set, or the machine resumed. EAGAIN: a notice already read.
            if (::read(fd_, &expirations, sizeof expirations) == sizeof expirations || errno == ECANCELED)
                emit rang();
        });
    }
    ~WallAlarm() override { ::close(fd_); }

    void set(std::optional<qint64> at) override
    {
        itimerspec when{};
        // An instant already past rings at once; zero would disarm the timer instead.
        when.it_value.tv_sec = at ? std::max<qint64>(*at, 1) : 0;
        ::timerfd_settime(fd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &when, nullptr);
    }

private:
    const int fd_;
    QSocketNotifier notifier_;
};

} // namespace

std::unique_ptr<Alarm> wallAlarm(int *error)
{
    const int fd = ::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    return std::make_unique<WallAlarm>(fd);
}

} // namespace platform::schedule
