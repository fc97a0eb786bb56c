#include "system/stopsignals_shared.h"

#include <csignal>

namespace StopState
{
std::atomic<int> requestedBy{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler must not wait for a lock");
std::mutex turns;
std::function<void()> lastWordToSay;

void endAsAsked(int signal)
{
    if (signal != 0) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
}
} // namespace StopState

using namespace StopState;

bool stopRequested()
{
    return requestedBy != 0;
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
