#include "platform/qtplatform.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>

MsgAnswer QtPlatform::messageBox(const QString &text, const QString &title, MsgButtons buttons, MsgIcon icon)
{
    QMessageBox box(icon == MsgIcon::Exclamation ? QMessageBox::Warning : QMessageBox::NoIcon, title, text,
                    buttons == MsgButtons::YesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok);
    const int answer = box.exec();
    if (buttons == MsgButtons::Ok)
        return MsgAnswer::Ok;
    return answer == QMessageBox::Yes ? MsgAnswer::Yes : MsgAnswer::No;
}

void QtPlatform::beep()
{
    QApplication::beep();
}

bool QtPlatform::previousInstance()
{
    return m_lock.anotherInstanceRuns();
}

void QtPlatform::shellExecute(const QString &operation, const QString &target)
{
    if (operation != QLatin1String("open"))
        return;
    // A bare host name is a web address; "mailto:" and other schemes pass as they are.
    const QUrl url = target.startsWith(QLatin1String("mailto:"), Qt::CaseInsensitive) ? QUrl(target)
                                                                                        : QUrl::fromUserInput(target);
    QDesktopServices::openUrl(url);
}
