#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// The threads of one run: started with it and joined when it ends, so that no
// thread outlives a run. They only run what is posted; the thread that made
// them never runs a task, so that it never waits behind another's work.
//
// A task goes to the thread that went idle last, whose caches are still warm
// (one that only watched the cores goes to the back).
// Threads asked for beyond the cores are for file systems that keep tasks
// waiting: they start tasks only when every core has one and yet the process
// has kept the cores less than half busy for a while (kWindow), so that on a
// file system that answers at once they cost nothing. One of them at a time
// watches, and a watch lasts its window even when the queue runs dry
// meanwhile: tasks posted in quick batches wake no new watcher each time.
class Workers
{
public:
    // How long the cores are watched before threads beyond them start tasks,
    // and how long they go on taking tasks at once before they are watched again.
    static constexpr std::chrono::milliseconds kWindow{10};
    static constexpr std::chrono::milliseconds kStalled{50};

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
    // An idle thread's own signal, so that the one idle last is woken first.
    struct Idle
    {
        std::condition_variable wake;
        bool woken = false;
        bool toWatch = false; // woken to watch the cores, not for a free one
    };

    void serve(Idle &idle);
    void wakeForQueue(std::unique_lock<std::mutex> &lock);

    std::vector<std::unique_ptr<Idle>> m_signals; // one per thread, kept until they are joined
    std::vector<std::thread> m_threads;
    int m_cores = 1;
    std::mutex m_lock; // guards what follows
    std::deque<std::function<void()>> m_queue;
    std::vector<Idle *> m_idle;      // the threads waiting for a task, the one to wake next last
    std::condition_variable m_watch; // for those watching the cores
    int m_busy = 0;     // threads running a task
    int m_woken = 0;    // threads woken for a task and not yet awake
    int m_wokenToWatch = 0; // threads woken to watch the cores and not yet awake
    int m_watching = 0; // threads beyond the cores watching them for a stall
    std::uint64_t m_drained = 0; // times a thread took the last task queued
    std::chrono::steady_clock::time_point m_stalledUntil; // threads beyond the cores work until then
    bool m_quitting = false;
};
