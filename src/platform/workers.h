#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// The threads of one run: started with it and joined when it ends, so that no
// thread outlives a run. They only run what is posted; the thread that made
// them never runs a task, so that it never waits behind another's work.
//
// Threads asked for beyond the cores are for file systems that keep tasks
// waiting: one of them starts a task only when every core has one and yet the
// process has kept the cores less than half busy for a while (kWindow), so that on a file
// system that answers at once they cost no switching between threads.
class Workers
{
public:
    // How long the cores are watched before a thread beyond them starts a task.
    static constexpr std::chrono::milliseconds kWindow{2};

    // Starts up to `threads` threads: fewer where the system will not start
    // more, none at all for 0. `cores` is how many of them may run tasks at
    // once without stalling (0: one per core).
    explicit Workers(int threads, int cores = 0);
    // Waits for the tasks running now; those still queued are dropped.
    ~Workers();
    Workers(const Workers &) = delete;
    Workers &operator=(const Workers &) = delete;

    int threads() const { return static_cast<int>(m_threads.size()); }

    // Queues a task for the first thread free; tasks start in the order queued.
    void post(std::function<void()> task);

private:
    void serve();
    void wakeForQueue(std::unique_lock<std::mutex> &lock);

    std::vector<std::thread> m_threads;
    int m_cores = 1;
    std::mutex m_lock; // guards what follows
    std::condition_variable m_work;  // for the threads waiting for a task
    std::condition_variable m_watch; // for those watching the cores
    std::deque<std::function<void()>> m_queue;
    int m_busy = 0;     // threads running a task
    int m_sleeping = 0; // threads waiting for a task
    int m_woken = 0;    // of them, woken for one and not yet awake
    int m_watching = 0; // threads beyond the cores watching them for a stall
    bool m_quitting = false;
};
