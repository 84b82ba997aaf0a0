#include "platform/workers.h"

#include <system_error>

Workers::Workers(int threads)
{
    // A system that will not start as many threads gets the run with fewer.
    try {
        for (int i = 1; i < threads; ++i)
            m_threads.emplace_back([this] { serve(); });
    } catch (const std::system_error &) {
    }
}

Workers::~Workers()
{
    {
        const std::lock_guard lock(m_lock);
        m_quitting = true;
        m_queue.clear();
    }
    m_changed.notify_all();
    for (std::thread &thread : m_threads)
        thread.join();
}

void Workers::post(std::function<void()> task)
{
    {
        const std::lock_guard lock(m_lock);
        m_queue.push_back(std::move(task));
    }
    m_changed.notify_all();
}

void Workers::helpUntil(const std::function<bool()> &done)
{
    std::unique_lock lock(m_lock);
    while (!done()) {
        if (m_queue.empty())
            m_changed.wait(lock);
        else
            runFirst(lock);
    }
}

void Workers::runFirst(std::unique_lock<std::mutex> &lock)
{
    std::function<void()> task = std::move(m_queue.front());
    m_queue.pop_front();
    lock.unlock();
    task();
    task = nullptr; // what it held may close files: not under the lock
    lock.lock();
}

void Workers::wake()
{
    {
        const std::lock_guard lock(m_lock);
    }
    m_changed.notify_all();
}

void Workers::serve()
{
    std::unique_lock lock(m_lock);
    for (;;) {
        m_changed.wait(lock, [this] { return m_quitting || !m_queue.empty(); });
        if (m_quitting)
            return;
        runFirst(lock);
    }
}
