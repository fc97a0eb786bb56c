// Stop requests: the flag the handlers set, the turns and the last word on every system; then
// catching the signals, on Windows and on Unix.
#include "system/stopsignals.h"

#include <QtGlobal>

#include <atomic>
#include <csignal>
#include <iterator>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <chrono>
#include <system_error>
#include <thread>

#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace
{
std::atomic<int> requestedBy{0}; // the signal that asked for the stop, 0 while none has
static_assert(std::atomic<int>::is_always_lock_free, "the handler must not wait for a lock");

std::mutex turns;
std::function<void()> lastWordToSay; // in a turn

// As if the signal had never been caught; nothing when none asked for the stop (0).
void endAsAsked(int signal)
{
    if (signal != 0) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
}
} // namespace

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

#ifdef Q_OS_WIN
namespace
{
const int stopSignals[] = {SIGTERM, SIGINT};
void (*earlier[std::size(stopSignals)])(int) = {};
HANDLE runEnded = nullptr; // set once the run has closed its block

// Closing the console window (or logging off, shutting down) asks for a stop too, but the system
// ends the program as soon as this returns: it waits for the run to close its block first, for a
// little less than the time the system grants.
BOOL WINAPI consoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        requestedBy = SIGINT;
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        requestedBy = SIGTERM;
        if (runEnded)
            ::WaitForSingleObject(runEnded, 4500);
        return TRUE;
    default:
        return FALSE;
    }
}
} // namespace

void catchStopSignals()
{
    for (size_t i = 0; i < std::size(stopSignals); ++i) {
        earlier[i] = std::signal(stopSignals[i], [](int signal) { requestedBy = signal; });
        if (earlier[i] == SIG_IGN)
            std::signal(stopSignals[i], SIG_IGN);
    }
    runEnded = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(consoleEvent, TRUE);
}

void endIfStopRequested()
{
    for (size_t i = 0; i < std::size(stopSignals); ++i)
        std::signal(stopSignals[i], earlier[i] == SIG_ERR ? SIG_DFL : earlier[i]);
    const int signal = requestedBy;
    if (runEnded)
        ::SetEvent(runEnded);
    endAsAsked(signal);
}

#else
namespace
{
// The stop signals, then the timer's; the handlers found are put back before the prompt.
const int handled[] = {SIGTERM, SIGINT, SIGHUP, SIGALRM};
struct sigaction earlier[std::size(handled)];
sigset_t caught; // the stop signals not ignored

// From a stop on, the timer interrupts the main thread ten times a second: a blocked console write
// gives up (consolemessage.cpp), the writes to files and the removals are made again.
void requestStop(int signal)
{
    const struct itimerval everyTenthOfASecond = {{0, 100000}, {0, 100000}};
    int none = 0;
    if (requestedBy.compare_exchange_strong(none, signal))
        ::setitimer(ITIMER_REAL, &everyTenthOfASecond, nullptr);
}

void interrupt(int) {}

// A stop whose handler cannot run (the main thread waits in a call that only a fatal signal breaks)
// is still pending: the guard takes it up. A loop not done half a second later is held by the
// system: the guard says the last word and ends the program by the signal, and the call with it.
void guardUntilStopped()
{
    const struct timespec tenth = {0, 100000000};
    while (requestedBy == 0) {
        const int signal = ::sigtimedwait(&caught, nullptr, &tenth);
        if (signal > 0)
            requestStop(signal);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    turns.lock(); // for good: nothing is removed or recorded after the last word
    if (lastWordToSay)
        lastWordToSay();
    const int signal = requestedBy;
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr); // held back in this thread
    endAsAsked(signal);
    for (;;)
        ::pause();
}

} // namespace

void catchStopSignals()
{
    struct sigaction action = {};
    sigfillset(&action.sa_mask); // no handler interrupts another
    action.sa_flags = 0;         // no SA_RESTART
    sigemptyset(&caught);
    for (size_t i = 0; i < std::size(handled); ++i) {
        action.sa_handler = handled[i] == SIGALRM ? interrupt : requestStop;
        ::sigaction(handled[i], &action, &earlier[i]);
        if (handled[i] == SIGALRM)
            continue;
        if (earlier[i].sa_handler == SIG_IGN)
            ::sigaction(handled[i], &earlier[i], nullptr);
        else
            sigaddset(&caught, handled[i]);
    }
    // The guard takes no signal but the stops it looks for: the others go to the main thread,
    // whose waits they must interrupt.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &before);
    try {
        std::thread(guardUntilStopped).detach();
    } catch (const std::system_error &) {
        // No thread to spare: the loop alone answers a stop.
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void endIfStopRequested()
{
    const struct itimerval never = {};
    ::setitimer(ITIMER_REAL, &never, nullptr);
    for (size_t i = 0; i < std::size(handled); ++i)
        ::sigaction(handled[i], &earlier[i], nullptr);
    endAsAsked(requestedBy);
}
#endif
