// Hands work from one thread to the next, in order: the walk lists folders ahead of the sweep,
// and the sweep judges files ahead of their removal, so that the system's work on the one side
// overlaps with the other's.
#ifndef KEHRLUND_HANDOVER_H
#define KEHRLUND_HANDOVER_H

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

// A bounded queue between one giver and one taker. The taker takes all that waits at once, so
// that the two meet once per batch rather than once per item; each waits on the other only when
// the queue is full or empty (a wake-up with nobody waiting costs no system call). An item may
// weigh more than one, by what it holds; one that weighs more than the queue holds goes alone.
template <typename T> class Handover
{
  public:
    explicit Handover(std::size_t capacity) : capacity(capacity) {}
    Handover(const Handover &) = delete;
    Handover &operator=(const Handover &) = delete;

    // Waits while the queue is full. False when the taker has given up: nothing more is wanted.
    // Short of memory, it throws with the item still the giver's.
    bool give(T &&item, std::size_t weight = 1)
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!queue.empty() && load + weight > capacity && !abandoned)
            changed.wait(lock);
        if (abandoned)
            return false;
        load += weight;
        queue.push_back(std::move(item));
        changed.notify_all();
        return true;
    }

    // Nothing more comes; the taker still takes what waits.
    void finish()
    {
        change([this] { finished = true; });
    }

    // Whether takeAll() would return without waiting.
    bool isReady()
    {
        std::unique_lock<std::mutex> lock(mutex);
        return !queue.empty() || finished || abandoned;
    }

    // Replaces `batch` with everything that waits, waiting for it while nothing does. False when
    // the giver has finished and all has been taken.
    bool takeAll(std::deque<T> &batch)
    {
        batch.clear();
        std::unique_lock<std::mutex> lock(mutex);
        while (queue.empty() && !finished && !abandoned)
            changed.wait(lock);
        if (queue.empty() || abandoned)
            return false;
        batch.swap(queue);
        load = 0;
        changed.notify_all();
        return true;
    }

    // The taker stops: what waits is dropped, and the giver's next give() says so.
    void abandon()
    {
        change([this] {
            abandoned = true;
            queue.clear();
            load = 0;
        });
    }

  private:
    template <typename Change> void change(Change apply)
    {
        std::unique_lock<std::mutex> lock(mutex);
        apply();
        changed.notify_all();
    }

    const std::size_t capacity;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<T> queue;
    std::size_t load = 0; // the weight of what waits
    bool finished = false;
    bool abandoned = false;
};

#endif
