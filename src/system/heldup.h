// What held the run up, so that the sweep checks a folder's place again. The time stands in where
// no move is reported: a file system that tells none (a network mount moved on its server), no
// room for more watches or descriptors, a system without them.
#ifndef KEHRLUND_HELDUP_H
#define KEHRLUND_HELDUP_H

#include <atomic>
#include <chrono>

namespace HeldUp
{
using Clock = std::chrono::steady_clock;

// The writes that blocked, kept by whoever makes them (the report). Atomic: after a stop the guard
// thread writes the log's total while the sweep may still be asking.
using Count = std::atomic<unsigned>;

// A write that goes through at once takes microseconds.
template <typename Write> auto timedWrite(Count &blocked, Write write) -> decltype(write())
{
    const Clock::time_point before = Clock::now();
    auto result = write();
    if (Clock::now() - before >= std::chrono::milliseconds(1))
        ++blocked;
    return result;
}

// A mark of now, to be asked later whether the run was held up since; without a count of writes,
// by the time alone.
class Mark
{
  public:
    Mark() = default;
    explicit Mark(const Count &blocked) : blocked(&blocked), writes(blocked) {}
    void renew() { *this = blocked ? Mark(*blocked) : Mark(); }

    bool heldUpSince() const
    {
        return (blocked && writes != *blocked) ||
               Clock::now() - when > std::chrono::milliseconds(100);
    }

  private:
    const Count *blocked = nullptr;
    unsigned writes = 0;
    Clock::time_point when = Clock::now();
};
} // namespace HeldUp

#endif
