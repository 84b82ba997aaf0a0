#pragma once

#include "platform/platform.h"

#include <QList>
#include <QString>
#include <deque>
#include <functional>

// Records every message and answers it from a script: a question without a
// scripted answer is answered No, a notice OK. Nothing ever waits for a person.
class ScriptedPlatform : public Platform
{
public:
    struct Message
    {
        QString text;
        QString title;
        MsgButtons buttons;
        MsgIcon icon;
    };

    MsgAnswer messageBox(const QString &text, const QString &title, MsgButtons buttons, MsgIcon icon) override
    {
        messages.append({text, title, buttons, icon});
        if (onMessage)
            onMessage(messages.last());
        if (buttons == MsgButtons::Ok)
            return MsgAnswer::Ok;
        if (answers.empty())
            return MsgAnswer::No;
        const MsgAnswer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void beep() override { ++beeps; }
    bool previousInstance() override { return otherInstance; }
    void shellExecute(const QString &operation, const QString &target) override
    {
        opened.append(operation + QLatin1Char(' ') + target);
    }

    QList<Message> messages;
    std::deque<MsgAnswer> answers;
    int beeps = 0;
    bool otherInstance = false;
    QStringList opened;
    std::function<void(const Message &)> onMessage;
};

#include <ostream>

// Readable QString values in test failure messages.
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QStringList &list, std::ostream *out)
{
    *out << "{ ";
    for (const QString &text : list)
        *out << '"' << text.toStdString() << "\" ";
    *out << '}';
}
