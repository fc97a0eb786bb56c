// Requests to stop from outside: SIGTERM (systemd stops a service with it), SIGINT (Ctrl+C) and
// SIGHUP (the terminal went away); on Windows also Ctrl+Break and closing the console window. The
// run finishes the file in hand, records it, closes its log block and ends; nothing is cut off
// half-way, and a console that blocks cannot hold the run once a stop has been asked for.
#ifndef KEHRLUND_STOPSIGNALS_H
#define KEHRLUND_STOPSIGNALS_H

#include <functional>
#include <mutex>

void catchStopSignals();

bool stopRequested();

// Before the closing prompt: a stop that was requested ends the program now, by the signal that
// asked for it; otherwise the signals act as usual again, so the prompt can be left with Ctrl+C.
void endIfStopRequested();

// A stop that the loop cannot answer: a file system that does not answer (a network mount whose
// server went away) holds the program in a system call that no handled signal breaks. Half a
// second after a stop was asked for, a guard that catchStopSignals() started says the run's last
// word for it (the log's total, once a block is open), and the program ends by the signal, which
// does break such a call. Each removal with its entry, and
// every other write to the log, is made in a turn: the last word waits for the turn in hand, and
// no turn begins after it. (Unix; elsewhere the loop always answers the stop itself.)
void guardStop(std::function<void()> lastWord);
// The run says its last word itself; none is said for it any more.
void sayLastWord(const std::function<void()> &lastWord);

class StopTurn
{
  public:
    StopTurn() = default; // holds no turn
    static StopTurn take();
    bool isHeld() const { return turn.owns_lock(); }
    // The record is made: what follows (the console's lines, which a file system may hold) is
    // no longer part of the turn.
    void release()
    {
        if (turn.owns_lock())
            turn.unlock();
    }

  private:
    std::unique_lock<std::mutex> turn;
};

#endif
