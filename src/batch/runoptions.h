#pragma once

#include <QCommandLineOption>
#include <QList>
#include <QStringList>

class QCommandLineParser;
struct RunSettings;

// The options of a run without a window, shared by "prismora --process" and
// prismora-bench: the three destination names, the number of threads, and
// the walk (subfolders, the update rule, an output root).
// Every option goes through the parser; none may take another option for its
// value, so "--red R --green --verbose" is refused rather than naming a folder
// "--verbose".
class RunOptions
{
public:
    RunOptions();

    // To be added to the parser before it parses.
    QList<QCommandLineOption> options() const
    {
        return {m_red, m_green, m_blue, m_jobs, m_recursive, m_update, m_output};
    }

    // After parsing: the red, green and blue names (`defaults` for those not
    // given, `defaultsNote` added to a refusal of one of them) and the thread
    // count (0: one per core). False, with `error` set, when a value cannot be
    // used.
    bool read(const QCommandLineParser &parser, const QStringList &defaults, const QString &defaultsNote,
              QStringList *names, int *jobs, QString *error) const;

    // After parsing: --recursive, --update and --output for a run over
    // `folders`. False, with `error` set, for an output root without a name
    // or one that two listed folders of the same last name would share.
    bool readSettings(const QCommandLineParser &parser, const QStringList &folders, RunSettings *settings,
                      QString *error) const;

    // The thread count of "--jobs N" or, when not given, one per core.
    static int threadsFor(int jobs);

private:
    QCommandLineOption m_red, m_green, m_blue, m_jobs, m_recursive, m_update, m_output;
};
