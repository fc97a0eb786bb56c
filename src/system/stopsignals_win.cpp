// The stop signals on Windows: SIGINT and SIGTERM through the C library, and the console's own
// events (Ctrl+C, Ctrl+Break, closing the window) through its control handler.
#include "system/stopsignals.h"
#include "system/stopsignals_shared.h"

#include <csignal>

#include <windows.h>

using stopsignals::requestedBy;

namespace
{
const int stopSignals[] = {SIGTERM, SIGINT};
constexpr int stopSignalCount = int(sizeof stopSignals / sizeof stopSignals[0]);

using Handler = void (*)(int);
Handler earlier[stopSignalCount] = {};

void requestStop(int signal)
{
    requestedBy = signal;
}

HANDLE runEnded = nullptr; // set once the run has closed its block

// Ctrl+C and Ctrl+Break ask for a stop. Closing the console window (or logging off, shutting down)
// does too, but the system ends the program as soon as this returns: it waits for the run to close
// its block first, for a little less than the time the system grants.
BOOL WINAPI consoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        requestStop(SIGINT);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        requestStop(SIGTERM);
        if (runEnded)
            ::WaitForSingleObject(runEnded, 4500);
        return TRUE;
    default:
        return FALSE;
    }
}
} // namespace

// A signal the caller chose to ignore stays ignored.
void catchStopSignals()
{
    for (int i = 0; i < stopSignalCount; ++i) {
        earlier[i] = std::signal(stopSignals[i], requestStop);
        if (earlier[i] == SIG_IGN)
            std::signal(stopSignals[i], SIG_IGN);
    }
    runEnded = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(consoleEvent, TRUE);
}

void endIfStopRequested()
{
    for (int i = 0; i < stopSignalCount; ++i)
        std::signal(stopSignals[i], earlier[i] == SIG_ERR ? SIG_DFL : earlier[i]);
    const int signal = requestedBy;
    if (runEnded)
        ::SetEvent(runEnded);
    stopsignals::endAsAsked(signal);
}
