#include "batch/headless.h"

#include <cerrno>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// A line longer than the terminal wraps, and "\r" then redraws only its tail.
qsizetype terminalColumns()
{
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1)
        return size.ws_col;
    return 80;
}

QString oneLine(QString text)
{
    text.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return text;
}

} // namespace

QString EscapedField(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'\\': escaped += QStringLiteral("\\\\"); break;
        case u'\t': escaped += QStringLiteral("\\t"); break;
        case u'\n': escaped += QStringLiteral("\\n"); break;
        case u'\r': escaped += QStringLiteral("\\r"); break;
        default: escaped += c;
        }
    }
    return escaped;
}

MsgAnswer ConsolePlatform::messageBox(const QString &text, const QString &title, MsgButtons buttons, MsgIcon)
{
    clearProgress();
    std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(oneLine(text)));
    return UnattendedAnswer(buttons);
}

void ConsolePlatform::showProgress(const QString &line)
{
    std::fprintf(stderr, "\r%s\033[K", qPrintable(line.left(terminalColumns() - 1)));
    std::fflush(stderr);
    m_progressShown = true;
}

void ConsolePlatform::clearProgress()
{
    if (!m_progressShown)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    m_progressShown = false;
}

void HeadlessWindow::setStatusText(const QString &text)
{
    if (m_console)
        m_console->showProgress(QStringLiteral("All files %1%  This folder %2%  %3")
                                    .arg(m_allFiles, 3)
                                    .arg(m_thisFolder, 3)
                                    .arg(oneLine(text)));
}

void HeadlessWindow::fileDone(const QString &path, const QString &result)
{
    if (m_observe)
        m_observe(path, result);
    if (!m_listResults || m_outputBroken)
        return;
    if (m_console) // both streams may share the terminal
        m_console->clearProgress();
    // Flushed per line, so that a script reading a pipe sees each file as it is done.
    const QByteArray line = (EscapedField(path) + QLatin1Char('\t') + EscapedField(result.trimmed())).toLocal8Bit();
    errno = 0;
    if (std::fprintf(stdout, "%s\n", line.constData()) >= 0 && std::fflush(stdout) == 0)
        return;
    m_outputBroken = true;
    const int error = errno != 0 ? errno : EIO;
    std::clearerr(stdout);
    if (m_outputFailed)
        m_outputFailed(error);
}
