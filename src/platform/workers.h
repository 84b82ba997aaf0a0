#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// The threads of one run: started with it and joined when it ends, so that no
// thread outlives a run. The thread that made them works too: while it waits
// for something, it takes queued tasks itself.
class Workers
{
public:
    // `threads` in all, the calling thread counted: one starts no thread.
    explicit Workers(int threads);
    // Waits for the tasks running now; those still queued are dropped.
    ~Workers();
    Workers(const Workers &) = delete;
    Workers &operator=(const Workers &) = delete;

    int threads() const { return static_cast<int>(m_threads.size()) + 1; }

    // Queues a task for the first thread free; tasks start in the order queued.
    void post(std::function<void()> task);
    // Runs queued tasks on this thread, or waits, until `done` holds. It is
    // asked with the pool's lock held: whatever makes it true must call wake().
    void helpUntil(const std::function<bool()> &done);
    void wake();

private:
    void serve();
    // Takes the first queued task and runs it without the lock.
    void runFirst(std::unique_lock<std::mutex> &lock);

    std::vector<std::thread> m_threads;
    std::mutex m_lock; // guards what follows
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_queue;
    bool m_quitting = false;
};
