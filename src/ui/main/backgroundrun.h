#pragma once

#include "batch/batchrun.h"
#include "platform/platform.h"

#include <QObject>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

// Runs the batch run for the main window on a worker thread, so that nothing a
// disk does can freeze the window. This is the one place the two threads meet:
// the worker sees the window and the platform only through it. Every change
// the run makes to the window is applied by the window thread, in the order
// the run made it; every message is shown by the window thread while the
// worker waits for the answer.
class BackgroundRun : public QObject
{
public:
    BackgroundRun(BatchWindow &window, Platform &platform);
    // Abandons a run in progress and waits for its thread.
    ~BackgroundRun() override;

    // Starts a run with the window's names and folders as they are now; the
    // run keeps them to its end. False, with nothing started, while a run is
    // in progress.
    bool start();
    // True from start() until the window has taken the run's last change.
    bool isRunning() const { return m_worker.joinable(); }

    // Abandons the run in progress without waiting for it: none of its
    // changes or messages reach the window any more, a message it waits on is
    // answered at once (OK, or No to a question), and no output of the file
    // in progress is put in place (as BatchRun::requestStop() says).
    void abandon();
    // For the end of the program: abandons the run, and returns it for
    // SettleAndExit() (null when none is in progress).
    BatchRun *abandonForExit();

private:
    class Forwarder;

    // Worker side: `effect` runs on the window thread, after every effect
    // posted before it; show() drops it once the run is abandoned.
    void post(std::function<void()> effect);
    void show(std::function<void()> effect);
    MsgAnswer ask(const QString &text, const QString &title, MsgButtons buttons, MsgIcon icon);
    // Window side.
    void applyPosted();
    void finish();

    BatchWindow &m_window;
    Platform &m_platform;
    std::unique_ptr<Forwarder> m_forwarder;
    std::unique_ptr<BatchRun> m_run;
    std::thread m_worker;
    bool m_abandoned = false; // window thread only

    std::mutex m_lock; // guards what follows
    std::deque<std::function<void()>> m_posted;
    std::condition_variable m_answered;
    bool m_answerWaived = false;
};
