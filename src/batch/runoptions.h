#pragma once

#include <QCommandLineOption>
#include <QList>
#include <QStringList>

class QCommandLineParser;

// The options of a run without a window, shared by "prismora --process" and
// prismora-bench: the three destination names and the number of threads.
// Every option goes through the parser; none may take another option for its
// value, so "--red R --green --verbose" is refused rather than naming a folder
// "--verbose".
class RunOptions
{
public:
    RunOptions();

    // To be added to the parser before it parses.
    QList<QCommandLineOption> options() const { return {m_red, m_green, m_blue, m_jobs}; }

    // After parsing: the red, green and blue names (`defaults` for those not
    // given, `defaultsNote` added to a refusal of one of them) and the thread
    // count (0: one per core). False, with `error` set, when a value cannot be
    // used.
    bool read(const QCommandLineParser &parser, const QStringList &defaults, const QString &defaultsNote,
              QStringList *names, int *jobs, QString *error) const;

    // The thread count of "--jobs N" or, when not given, one per core.
    static int threadsFor(int jobs);

private:
    QCommandLineOption m_red, m_green, m_blue, m_jobs;
};
