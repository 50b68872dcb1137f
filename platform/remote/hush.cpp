#include "hush.h"

namespace platform::remote {

Hush::Hush(std::function<void(const QString &)> sayLine) : sayLine_(std::move(sayLine))
{
    secondOver_.setSingleShot(true);
    connect(&secondOver_, &QTimer::timeout, this, &Hush::sayWaiting);
}

Hush::~Hush()
{
    if (!waiting_.isEmpty())
        sayWaiting();
}

void Hush::say(const QString &line)
{
    using namespace std::chrono;
    const auto now = Pace::Clock::now();
    if (!secondOver_.isActive() && (!saidAny_ || now - lastSaid_ >= seconds(1))) {
        sayLine_(line);
        saidAny_ = true;
        lastSaid_ = now;
        return;
    }
    if (!waiting_.isEmpty())
        ++leftOut_;
    waiting_ = line;
    if (!secondOver_.isActive())
        secondOver_.start(duration_cast<milliseconds>(seconds(1) - (now - lastSaid_)) + milliseconds(1));
}

void Hush::sayWaiting()
{
    secondOver_.stop();
    const long leftOut = std::exchange(leftOut_, 0);
    sayLine_(leftOut == 0 ? waiting_ : QStringLiteral("%1 (y %2 más antes, sin decir)").arg(waiting_).arg(leftOut));
    waiting_.clear();
    lastSaid_ = Pace::Clock::now();
}

Tally::Tally(std::function<void(long)> sayCount) : sayCount_(std::move(sayCount))
{
    using namespace std::chrono;
    quiet_.setSingleShot(true);
    connect(&quiet_, &QTimer::timeout, this, [this] {
        // More came after the timer was set: the burst ends a second after the last.
        const auto quiet = Pace::Clock::now() - last_;
        if (quiet < seconds(1))
            quiet_.start(duration_cast<milliseconds>(seconds(1) - quiet) + milliseconds(1));
        else
            sayNow();
    });
}

Tally::~Tally() { sayNow(); }

void Tally::add(long count)
{
    count_ += count;
    last_ = Pace::Clock::now();
    if (!quiet_.isActive())
        quiet_.start(std::chrono::seconds(1));
}

void Tally::sayNow()
{
    quiet_.stop();
    if (count_ > 0)
        sayCount_(std::exchange(count_, 0));
}

} // namespace platform::remote
