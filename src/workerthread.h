// The sweep's helpers in threads of their own.
#ifndef KEHRLUND_WORKERTHREAD_H
#define KEHRLUND_WORKERTHREAD_H

#include <functional>
#include <thread>

// Starts `work` in a thread of its own, with the stop signals left to the main thread. False when
// no thread can be started (the system's limit on processes or threads, too little memory for its
// stack, or a build without threads): the caller then does that work itself, as it goes.
bool startWorker(std::thread &thread, std::function<void()> work);

#endif
