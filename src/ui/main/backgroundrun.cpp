#include "ui/main/backgroundrun.h"

#include "platform/platform.h"

#include <QMetaObject>

// What the run on the worker takes for its window and its platform: the names
// and folders as they were when it started, and every other call passed on to
// the window thread.
class BackgroundRun::Forwarder : public BatchWindow, public Platform
{
public:
    Forwarder(BackgroundRun &owner, const BatchWindow &window)
        : m_owner(owner), m_red(window.redDirName()), m_green(window.greenDirName()), m_blue(window.blueDirName()),
          m_folders(window.folders())
    {
    }

    // BatchWindow
    void setCaption(const QString &caption) override
    {
        m_owner.show([this, caption] { m_owner.m_window.setCaption(caption); });
    }
    void setThisFolderProgress(int value) override
    {
        m_owner.show([this, value] { m_owner.m_window.setThisFolderProgress(value); });
    }
    void setAllFilesProgress(int value) override
    {
        m_owner.show([this, value] { m_owner.m_window.setAllFilesProgress(value); });
    }
    void setStatusText(const QString &text) override
    {
        m_owner.show([this, text] { m_owner.m_window.setStatusText(text); });
    }
    void runEnded(int filesSplit, int folders, const QString &error) override
    {
        m_owner.show([this, filesSplit, folders, error] { m_owner.m_window.runEnded(filesSplit, folders, error); });
    }
    QString redDirName() const override { return m_red; }
    QString greenDirName() const override { return m_green; }
    QString blueDirName() const override { return m_blue; }
    QStringList folders() const override { return m_folders; }

    // Platform
    MsgAnswer messageBox(const QString &text, const QString &title, MsgButtons buttons, MsgIcon icon) override
    {
        return m_owner.ask(text, title, buttons, icon);
    }
    void beep() override
    {
        m_owner.show([this] { m_owner.m_platform.beep(); });
    }
    // The run asks neither; a window of its own answers these.
    bool previousInstance() override { return false; }
    void shellExecute(const QString &, const QString &) override {}

private:
    BackgroundRun &m_owner;
    const QString m_red, m_green, m_blue;
    const QStringList m_folders;
};

BackgroundRun::BackgroundRun(BatchWindow &window, Platform &platform) : m_window(window), m_platform(platform) {}

BackgroundRun::~BackgroundRun()
{
    abandon();
    if (m_worker.joinable())
        m_worker.join();
}

bool BackgroundRun::start()
{
    if (isRunning())
        return false;
    m_abandoned = false;
    {
        const std::lock_guard lock(m_lock);
        m_posted.clear();
        m_answerWaived = false;
    }
    m_forwarder = std::make_unique<Forwarder>(*this, m_window);
    m_run = std::make_unique<BatchRun>(*m_forwarder, *m_forwarder);
    m_worker = std::thread([this] {
        m_run->run();
        post([this] { finish(); });
    });
    return true;
}

void BackgroundRun::abandon()
{
    if (!isRunning())
        return;
    m_abandoned = true;
    m_run->requestStop();
    const std::lock_guard lock(m_lock);
    m_answerWaived = true;
    m_answered.notify_all();
}

BatchRun *BackgroundRun::abandonForExit()
{
    abandon();
    return isRunning() ? m_run.get() : nullptr;
}

void BackgroundRun::post(std::function<void()> effect)
{
    bool wake = false;
    {
        const std::lock_guard lock(m_lock);
        wake = m_posted.empty();
        m_posted.push_back(std::move(effect));
    }
    // One wake-up serves every effect queued before it is handled.
    if (wake)
        QMetaObject::invokeMethod(this, [this] { applyPosted(); }, Qt::QueuedConnection);
}

void BackgroundRun::show(std::function<void()> effect)
{
    post([this, effect = std::move(effect)] {
        if (!m_abandoned)
            effect();
    });
}

void BackgroundRun::applyPosted()
{
    for (;;) {
        std::function<void()> effect;
        {
            const std::lock_guard lock(m_lock);
            if (m_posted.empty())
                return;
            effect = std::move(m_posted.front());
            m_posted.pop_front();
        }
        effect();
    }
}

MsgAnswer BackgroundRun::ask(const QString &text, const QString &title, MsgButtons buttons, MsgIcon icon)
{
    const MsgAnswer waived = UnattendedAnswer(buttons);
    // Each question has its own answer: a box still open when the run was
    // abandoned may answer late, and must not answer the next one.
    const auto answer = std::make_shared<std::optional<MsgAnswer>>();
    post([=, this] {
        // A closed window asks nothing more.
        const MsgAnswer given = m_abandoned ? waived : m_platform.messageBox(text, title, buttons, icon);
        const std::lock_guard lock(m_lock);
        *answer = given;
        m_answered.notify_all();
    });
    std::unique_lock lock(m_lock);
    m_answered.wait(lock, [&] { return answer->has_value() || m_answerWaived; });
    return answer->value_or(waived);
}

void BackgroundRun::finish()
{
    m_worker.join();
    m_run.reset();
    m_forwarder.reset();
}
