#include "platform/workers.h"

#include <system_error>

Workers::Workers(int threads)
{
    try {
        for (int i = 0; i < threads; ++i)
            m_threads.emplace_back([this] { serve(); });
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
    m_changed.notify_one();
}

void Workers::serve()
{
    std::unique_lock lock(m_lock);
    for (;;) {
        m_changed.wait(lock, [this] { return m_quitting || !m_queue.empty(); });
        if (m_quitting)
            return;
        std::function<void()> task = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        task();
        task = nullptr; // what it held may close files: not under the lock
        lock.lock();
    }
}
