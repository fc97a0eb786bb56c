// Requests to stop from outside: SIGTERM (systemd stops a service with it), SIGINT (Ctrl+C) and
// SIGHUP (the terminal went away); on Windows also Ctrl+Break and closing the console window.
#ifndef KEHRLUND_STOPSIGNALS_H
#define KEHRLUND_STOPSIGNALS_H

#include <functional>
#include <mutex>

// A signal the caller chose to ignore (SIGHUP under nohup, SIGINT for a job started in the
// background) stays ignored.
void catchStopSignals();

bool stopRequested();

// Before the closing prompt: a stop that was requested ends the program now, by the signal that
// asked for it; otherwise the signals act as usual again, so the prompt can be left with Ctrl+C.
void endIfStopRequested();

// The last word the Linux guard says for a run that a file system holds (the log's total, once a
// block is open): armed by guardStop, said by the run itself, in its turn, with sayLastWord.
void guardStop(std::function<void()> lastWord);
void sayLastWord(const std::function<void()> &lastWord);

class StopTurn
{
  public:
    StopTurn() = default; // holds no turn
    static StopTurn take();
    bool isHeld() const { return turn.owns_lock(); }
    // The record is made: what follows (the console's lines, which a file system may hold) is
    // no longer part of the turn.
    void release() { turn = std::unique_lock<std::mutex>(); }

  private:
    std::unique_lock<std::mutex> turn;
};

#endif
