#include "batch/runoptions.h"

#include "batch/batchrun.h"
#include "filesys/paths.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QHash>
#include <QThread>

namespace {

constexpr int kMostJobs = 1024;

QCommandLineOption nameOption(const char *name, const char *colour)
{
    return {QLatin1String(name),
            QStringLiteral("Name the %1 destination subfolder, instead of the name saved in the window's options.")
                .arg(QLatin1String(colour)),
            QStringLiteral("NAME")};
}

// The one value of `option`, or why there is none to use.
bool singleValue(const QCommandLineParser &parser, const QCommandLineOption &option, QString *value, QString *error)
{
    const QStringList values = parser.values(option);
    const QString name = QStringLiteral("--") + option.names().constFirst();
    if (values.size() > 1) {
        *error = QStringLiteral("%1 is given more than once").arg(name);
        return false;
    }
    *value = values.value(0);
    // The parser takes whatever follows for the value, another option included.
    if (value->startsWith(QLatin1Char('-'))) {
        *error = QStringLiteral("%1 needs a value, and \"%2\" is taken for an option (values may not begin with \"-\")")
                     .arg(name, *value);
        return false;
    }
    return true;
}

} // namespace

RunOptions::RunOptions()
    : m_red(nameOption("red", "red")), m_green(nameOption("green", "green")), m_blue(nameOption("blue", "blue")),
      m_jobs(QStringLiteral("jobs"),
             QStringLiteral("Split with N threads (one per core unless given); 1 splits one file at a time."),
             QStringLiteral("N")),
      m_recursive(QStringLiteral("recursive"),
                  QStringLiteral("Also split the files of every subfolder, depth first, each into destination "
                                 "subfolders of its own; hidden folders, links to folders, the destination folders "
                                 "and folders already walked are not entered.")),
      m_update(QStringLiteral("update"),
               QStringLiteral("Pass over a source whose three channel files are all there, of the size it gives, none "
                              "older than it and none with a hole: its result is \"up to date\".")),
      m_output(QStringLiteral("output"),
               QStringLiteral("Put the outputs of each FOLDER under DIR/<last name of FOLDER>/, made as needed, "
                              "instead of beside the sources, which may then be read-only."),
               QStringLiteral("DIR"))
{
}

bool RunOptions::read(const QCommandLineParser &parser, const QStringList &defaults, const QString &defaultsNote,
                      QStringList *names, int *jobs, QString *error) const
{
    const QCommandLineOption *nameOptions[3] = {&m_red, &m_green, &m_blue};
    const char *fields[3] = {"Red Folder", "Green Folder", "Blue Folder"};
    names->clear();
    for (int k = 0; k < 3; ++k) {
        QString name;
        if (!singleValue(parser, *nameOptions[k], &name, error))
            return false;
        const bool given = parser.isSet(*nameOptions[k]);
        if (!given)
            name = defaults.value(k);
        const QString note = given ? QString() : defaultsNote;
        const QString bad = CheckFolderName(name);
        if (bad != QLatin1String("OK")) {
            *error = QStringLiteral("\"%1\"%2 is not a valid folder name: it holds \"%3\"").arg(name, note, bad);
            return false;
        }
        const QString problem = DestinationNameProblem(QLatin1String(fields[k]), name);
        if (!problem.isEmpty()) {
            *error = problem.chopped(1) + note; // without its full stop, as every usage error
            return false;
        }
        names->append(name);
    }

    QString count;
    if (!singleValue(parser, m_jobs, &count, error))
        return false;
    bool number = true;
    *jobs = parser.isSet(m_jobs) ? count.toInt(&number) : 0;
    if (!number || *jobs < 0 || *jobs > kMostJobs || (parser.isSet(m_jobs) && *jobs == 0)) {
        *error = QStringLiteral("--jobs takes a whole number from 1 to %1, not \"%2\"").arg(kMostJobs).arg(count);
        return false;
    }
    return true;
}

bool RunOptions::readSettings(const QCommandLineParser &parser, const QStringList &folders, RunSettings *settings,
                              QString *error) const
{
    *settings = {};
    settings->recursive = parser.isSet(m_recursive);
    settings->update = parser.isSet(m_update);
    if (!parser.isSet(m_output))
        return true;
    if (!singleValue(parser, m_output, &settings->outputRoot, error))
        return false;
    if (settings->outputRoot.isEmpty()) {
        *error = QStringLiteral("--output needs a folder");
        return false;
    }
    // Two folders of one last name would write each other's outputs.
    QHash<QString, std::pair<QString, QFileInfo>> named;
    for (const QString &folder : folders) {
        const QFileInfo info(folder);
        if (folder.isEmpty() || !info.isDir())
            continue; // named as missing, and passed over
        const QString mirrored = MirroredFolder(settings->outputRoot, folder);
        if (mirrored.isEmpty()) {
            *error = QStringLiteral("--output cannot mirror \"%1\": it has no last name").arg(folder);
            return false;
        }
        const auto other = named.constFind(mirrored);
        if (other != named.cend() && other->second.canonicalFilePath() != info.canonicalFilePath()) {
            *error = QStringLiteral("\"%1\" and \"%2\" have the same last name, and --output would put the outputs of "
                                    "both into \"%3\"")
                         .arg(other->first, folder, mirrored);
            return false;
        }
        named.insert(mirrored, {folder, info});
    }
    return true;
}

int RunOptions::threadsFor(int jobs)
{
    return jobs > 0 ? jobs : std::max(1, QThread::idealThreadCount());
}
