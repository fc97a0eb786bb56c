// What held the run up. A folder's place is checked as its sweep begins, and again before a
// removal whenever the system reported a move on its way from the root (reportedMoved, walk.h),
// or something held the run up since the last check: a write to the console or the log that
// blocked, or simply more than a tenth of a second gone by (a slow file system, a machine under
// load). The time stands in where no move is reported: a file system that tells none (a network
// mount moved on its server), no room for more watches, a system without them.
#ifndef KEHRLUND_HELDUP_H
#define KEHRLUND_HELDUP_H

#include <chrono>

namespace HeldUp
{
using Clock = std::chrono::steady_clock;

inline unsigned &writesThatBlocked()
{
    static unsigned count = 0;
    return count;
}

// Runs the write and counts it when it took a millisecond or more: a write that goes through at
// once takes microseconds.
template <typename Write> auto timedWrite(Write write) -> decltype(write())
{
    const Clock::time_point before = Clock::now();
    auto result = write();
    if (Clock::now() - before >= std::chrono::milliseconds(1))
        ++writesThatBlocked();
    return result;
}

// A mark of now, to be asked later whether the run was held up since.
struct Mark {
    Clock::time_point when = Clock::now();
    unsigned writes = writesThatBlocked();

    bool heldUpSince() const
    {
        return writes != writesThatBlocked() ||
               Clock::now() - when > std::chrono::milliseconds(100);
    }
};
} // namespace HeldUp

#endif
