#pragma once

#include "batch/batchrun.h"
#include "platform/platform.h"

#include <QString>
#include <QStringList>

#include <functional>

// The batch run without a window, for the command line and the bench.

// `text` with "\\", tabs and line breaks written as "\\\\", "\\t", "\\n" and "\\r".
QString EscapedField(const QString &text);

// Standard error stands in for message boxes: each message is one line,
// "TITLE: TEXT", and nobody is there to answer, so a question takes No. On a
// terminal it can also hold one progress line, redrawn in place and cleared
// before a message is written.
class ConsolePlatform : public Platform
{
public:
    MsgAnswer messageBox(const QString &text, const QString &title, MsgButtons buttons, MsgIcon icon) override;
    void beep() override {}
    // A headless run takes no lock: runs on different folders may overlap.
    bool previousInstance() override { return false; }
    void shellExecute(const QString &, const QString &) override {}

    void showProgress(const QString &line);
    void clearProgress();

private:
    bool m_progressShown = false;
};

// A window with fixed names and folders. It can pass its progress to the
// console and list every file's result on standard output.
class HeadlessWindow : public BatchWindow
{
public:
    HeadlessWindow(QStringList names, QStringList folders) : m_names(std::move(names)), m_folders(std::move(folders))
    {
    }

    // Progress goes to `console` (a terminal's) from now on.
    void showProgressOn(ConsolePlatform *console) { m_console = console; }
    // One line per file on standard output: its path, a tab, and "OK" or why
    // it was not split, with tabs, line breaks and backslashes escaped so that
    // each line stays one record of two fields. Should standard output fail,
    // `failed` is told once, with the system's error number.
    void listFileResults(bool list, std::function<void(int error)> failed = {})
    {
        m_listResults = list;
        m_outputFailed = std::move(failed);
    }

    // `observe` hears every file's result too, listed or not.
    void observeResults(std::function<void(const QString &path, const QString &result)> observe)
    {
        m_observe = std::move(observe);
    }

    void setCaption(const QString &) override {}
    void setThisFolderProgress(int value) override { m_thisFolder = value; }
    void setAllFilesProgress(int value) override { m_allFiles = value; }
    void setStatusText(const QString &text) override;
    QString redDirName() const override { return m_names[0]; }
    QString greenDirName() const override { return m_names[1]; }
    QString blueDirName() const override { return m_names[2]; }
    QStringList folders() const override { return m_folders; }
    void fileDone(const QString &path, const QString &result) override;

private:
    QStringList m_names;
    QStringList m_folders;
    ConsolePlatform *m_console = nullptr;
    bool m_listResults = false;
    std::function<void(int)> m_outputFailed;
    std::function<void(const QString &, const QString &)> m_observe;
    bool m_outputBroken = false;
    int m_thisFolder = 0;
    int m_allFiles = 0;
};
