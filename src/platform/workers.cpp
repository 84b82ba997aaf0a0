#include "platform/workers.h"

#include <QThread>

#include <algorithm>
#include <cstdint>
#include <system_error>
#include <utility>
#include <time.h>

// The cores as the run counts them: those this process may run on.
Workers::Workers(int threads, int cores) : m_cores(cores > 0 ? cores : std::max(1, QThread::idealThreadCount()))
{
    try {
        for (int i = 0; i < threads; ++i) {
            Idle &idle = *m_signals.emplace_back(std::make_unique<Idle>());
            m_threads.emplace_back([this, &idle] { serve(idle); });
        }
    } catch (const std::system_error &) {
    }
}

Workers::~Workers()
{
    std::deque<std::function<void()>> dropped; // what they hold may close files: not under the lock
    {
        const std::lock_guard lock(m_lock);
        m_quitting = true;
        dropped.swap(m_queue);
    }
    for (const auto &idle : m_signals)
        idle->wake.notify_one();
    m_watch.notify_all();
    for (std::thread &thread : m_threads)
        thread.join();
}

void Workers::post(std::function<void()> task)
{
    std::unique_lock lock(m_lock);
    m_queue.push_back(std::move(task));
    wakeForQueue(lock);
}

// For the tasks queued: the thread idle last is woken while a core is free
// for it, counting those woken already, or else one watching the cores takes
// one; with every core at work, an idle one is woken only to watch them, if
// none does. Otherwise a thread that finishes takes the next. Unlocks.
void Workers::wakeForQueue(std::unique_lock<std::mutex> &lock)
{
    if (m_idle.empty() && m_watching == 0) { // every thread is at work, or woken already
        lock.unlock();
        return;
    }
    // While the tasks at work stall, threads beyond the cores take tasks at once.
    const bool takeAtOnce = m_busy + m_woken < m_cores || std::chrono::steady_clock::now() < m_stalledUntil;
    Idle *wake = nullptr;
    if (!m_idle.empty() && (takeAtOnce || m_watching + m_wokenToWatch == 0)) {
        wake = m_idle.back();
        m_idle.pop_back();
        wake->woken = true;
        wake->toWatch = !takeAtOnce;
        ++(takeAtOnce ? m_woken : m_wokenToWatch);
    }
    const bool stopWatching = !wake && takeAtOnce && m_watching > 0;
    lock.unlock();
    if (wake)
        wake->wake.notify_one();
    if (stopWatching)
        m_watch.notify_one();
}

namespace {

std::chrono::nanoseconds processorTime()
{
    timespec used{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
}

} // namespace

void Workers::serve(Idle &idle)
{
    using Clock = std::chrono::steady_clock;
    // A watch of the cores: since when, the processor time then, and how
    // often the queue had run dry then: a window in which it ran dry again
    // tells nothing of stalls.
    struct Watch
    {
        bool on = false;
        Clock::time_point since;
        std::chrono::nanoseconds used{};
        std::uint64_t drained = 0; // the queue's count of running dry then
    };
    Watch watching;
    bool watchedLast = false; // rather than ran a task: its caches are cold
    std::unique_lock lock(m_lock);
    const auto watchFromNow = [&] { watching = Watch{true, Clock::now(), processorTime(), m_drained}; };
    // Sleeps, counted among the watchers, until the window ends or a task wants this thread.
    const auto sleepOutTheWindow = [&] {
        ++m_watching;
        m_watch.wait_until(lock, watching.since + kWindow);
        --m_watching;
        watchedLast = true;
    };
    for (;;) {
        if (m_quitting)
            return;
        if (m_queue.empty()) {
            // A watch lasts its window even when the queue runs dry meanwhile,
            // as it does between the batches of a run: the tasks queued next
            // find it watching, and wake no other thread to watch. Such a
            // window tells nothing of stalls (the cores may have idled for
            // want of tasks): it starts again before it is judged.
            if (watching.on && Clock::now() - watching.since < kWindow) {
                sleepOutTheWindow();
                continue;
            }
            watching.on = false;
            // One that only watched is woken last: those that ran tasks are warm.
            if (std::exchange(watchedLast, false))
                m_idle.insert(m_idle.begin(), &idle);
            else
                m_idle.push_back(&idle);
            idle.wake.wait(lock, [&] { return idle.woken || m_quitting; });
            if (!idle.woken) // quitting
                return;
            idle.woken = false;
            if (std::exchange(idle.toWatch, false)) {
                --m_wokenToWatch;
                watchFromNow();
            } else {
                --m_woken;
            }
            continue;
        }
        if (m_busy >= m_cores && Clock::now() >= m_stalledUntil) {
            // Another task starts only if the process kept the cores less than
            // half busy over the window: its tasks wait on a file system. (A
            // window of a busy process on a noisy machine seldom falls so low.)
            // Then for a while (kStalled), threads beyond the cores take tasks at once.
            if (!watching.on || watching.drained != m_drained)
                watchFromNow();
            const Clock::time_point now = Clock::now();
            if (now - watching.since < kWindow) {
                sleepOutTheWindow();
                continue;
            }
            const std::chrono::duration<double> used = processorTime() - watching.used;
            const std::chrono::duration<double> window = now - watching.since;
            watching.on = false;
            if (used.count() >= 0.5 * m_cores * window.count())
                continue;
            m_stalledUntil = now + kStalled;
        }
        watching.on = false;
        watchedLast = false;
        std::function<void()> task = std::move(m_queue.front());
        m_queue.pop_front();
        ++m_busy;
        if (m_queue.empty()) {
            ++m_drained;
            lock.unlock();
        } else {
            wakeForQueue(lock); // what is left may want another thread, or a watcher
        }
        task();
        task = nullptr; // what it held may close files: not under the lock
        lock.lock();
        --m_busy;
    }
}
