// What the stop is on every system: the flag the handlers set, the turns and the last word.
// Catching the signals is the system's part: stopsignals_posix.cpp, stopsignals_win.cpp.
#include "system/stopsignals.h"
#include "system/stopsignals_shared.h"

#include <csignal>

std::atomic<int> stopsignals::requestedBy{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler must not wait for a lock");

namespace
{
std::mutex turns;
std::function<void()> lastWordToSay; // in a turn
} // namespace

void stopsignals::sayLastWordForTheRun()
{
    turns.lock();
    if (lastWordToSay)
        lastWordToSay();
}

void stopsignals::endAsAsked(int signal)
{
    if (signal != 0) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
}

bool stopRequested()
{
    return stopsignals::requestedBy != 0;
}

void guardStop(std::function<void()> lastWord)
{
    const std::lock_guard<std::mutex> turn(turns);
    lastWordToSay = std::move(lastWord);
}

void sayLastWord(const std::function<void()> &lastWord)
{
    const std::lock_guard<std::mutex> turn(turns);
    lastWordToSay = nullptr;
    lastWord();
}

StopTurn StopTurn::take()
{
    StopTurn taken;
    taken.turn = std::unique_lock<std::mutex>(turns);
    return taken;
}
