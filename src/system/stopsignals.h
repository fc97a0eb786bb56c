// Requests to stop from outside: SIGTERM (systemd stops a service with it), SIGINT (Ctrl+C) and
// SIGHUP (the terminal went away); on Windows also Ctrl+Break and closing the console window. The
// run finishes the file in hand, records it, closes its log block and ends; nothing is cut off
// half-way, and a console that blocks cannot hold the run once a stop has been asked for.
#ifndef KEHRLUND_STOPSIGNALS_H
#define KEHRLUND_STOPSIGNALS_H

// Also lets writes to a console whose reader has gone fail instead of ending the program
// (SIGPIPE): a console that nobody reads is no reason to stop deleting or recording.
void catchStopSignals();

bool stopRequested();

// Before the closing prompt: a stop that was requested ends the program now, by the signal that
// asked for it; otherwise the signals act as usual again, so the prompt can be left with Ctrl+C.
void endIfStopRequested();

#endif
