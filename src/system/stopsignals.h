// Requests to stop from outside: SIGTERM (systemd stops a service with it), SIGINT (Ctrl+C) and
// SIGHUP (the terminal went away); on Windows also Ctrl+Break and closing the console window. The
// run finishes the file in hand, records it, closes its log block and ends; nothing is cut off
// half-way, and a console that blocks cannot hold the run once a stop has been asked for.
#ifndef KEHRLUND_STOPSIGNALS_H
#define KEHRLUND_STOPSIGNALS_H

#include <functional>
#include <thread>

// Also lets writes to a console whose reader has gone fail instead of ending the program
// (SIGPIPE): a console that nobody reads is no reason to stop deleting or recording.
void catchStopSignals();

bool stopRequested();

// Before the closing prompt: a stop that was requested ends the program now, by the signal that
// asked for it; otherwise the signals act as usual again, so the prompt can be left with Ctrl+C.
void endIfStopRequested();

// Starts `work` in a thread of its own, with the stop signals left to the main thread, whose
// wait on a blocked console they must interrupt. False when no thread can be started (the
// system's limit on processes or threads, too little memory for its stack, or a build without
// threads): the caller then does that work itself, as it goes.
bool startWorker(std::thread &thread, std::function<void()> work);

#endif
