// What the stop signals' handlers on each system share with the run: the flag they set, the last
// word the Linux guard says for a run that cannot, and the end by the signal that asked for the
// stop. Only stopsignals.cpp and the file of the system built for include it.
#ifndef KEHRLUND_STOPSIGNALS_SHARED_H
#define KEHRLUND_STOPSIGNALS_SHARED_H

#include <atomic>

namespace stopsignals
{
// The signal that asked for the stop, 0 while none has: set by the handler, read by the run
// between its steps.
extern std::atomic<int> requestedBy;

// For the guard: takes the turn and keeps it, so that nothing is removed or recorded after the
// last word, then says it, unless the run has said it itself.
void sayLastWordForTheRun();

// Ends the program by the signal that asked for the stop, as if it had never been caught; does
// nothing when no stop was asked for (signal 0).
void endAsAsked(int signal);
} // namespace stopsignals

#endif
