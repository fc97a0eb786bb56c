#ifndef KEHRLUND_STOPSIGNALS_SHARED_H
#define KEHRLUND_STOPSIGNALS_SHARED_H

#include "system/stopsignals.h"

#include <atomic>

namespace StopState
{
extern std::atomic<int> requestedBy; // the signal that asked for the stop, 0 while none has
extern std::mutex turns;
extern std::function<void()> lastWordToSay; // in a turn
// As if the signal had never been caught; nothing when none asked for the stop (0).
void endAsAsked(int signal);
} // namespace StopState

#endif
