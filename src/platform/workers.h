#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// The threads of one run: started with it and joined when it ends, so that no
// thread outlives a run. They only run what is posted; the thread that made
// them never runs a task, so that it never waits behind another's work.
class Workers
{
public:
    // Starts up to `threads` threads: fewer where the system will not start
    // more, none at all for 0.
    explicit Workers(int threads);
    // Waits for the tasks running now; those still queued are dropped.
    ~Workers();
    Workers(const Workers &) = delete;
    Workers &operator=(const Workers &) = delete;

    int threads() const { return static_cast<int>(m_threads.size()); }

    // Queues a task for the first thread free; tasks start in the order queued.
    void post(std::function<void()> task);

private:
    void serve();

    std::vector<std::thread> m_threads;
    std::mutex m_lock; // guards what follows
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_queue;
    bool m_quitting = false;
};
