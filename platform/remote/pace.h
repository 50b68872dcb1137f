// A pace for what comes from outside: at most so many events in any stretch of time of a given
// length, by the times of the last ones admitted (no timer, nothing that wakes).
#pragma once

#include <chrono>
#include <deque>

namespace platform::remote {

class Pace {
public:
    using Clock = std::chrono::steady_clock;

    Pace(int most, Clock::duration window) : most_(most), window_(window) {}

    // Admits `count` events at `now` when the stretch ending now has room for all of them; none
    // otherwise.
    bool admit(int count, Clock::time_point now = Clock::now())
    {
        while (!admitted_.empty() && now - admitted_.front() >= window_)
            admitted_.pop_front();
        if (int(admitted_.size()) + count > most_)
            return false;
        admitted_.insert(admitted_.end(), count, now);
        return true;
    }

private:
    int most_;
    Clock::duration window_;
    std::deque<Clock::time_point> admitted_; // never more than most_
};

} // namespace platform::remote
