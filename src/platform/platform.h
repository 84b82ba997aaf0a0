#pragma once

#include <QString>

// The services of the desktop that the logic needs but cannot provide itself:
// modal messages, the beep, the running-instance test and the shell's "open". The application uses the Qt implementation;
// tests answer every message from a script.

enum class MsgButtons { Ok, YesNo };
enum class MsgIcon { None, Exclamation };
enum class MsgAnswer { Ok, Yes, No };

class Platform
{
public:
    virtual ~Platform() = default;

    // Shows a modal message and returns the button pressed. Only Yes is told
    // apart by callers; anything else counts as No.
    virtual MsgAnswer messageBox(const QString &text, const QString &title, MsgButtons buttons,
                                 MsgIcon icon) = 0;
    virtual void beep() = 0;
    // True when another instance of the program already runs for this user.
    virtual bool previousInstance() = 0;
    // Asks the desktop to carry out `operation` ("open") on `target`; the
    // result is not reported.
    virtual void shellExecute(const QString &operation, const QString &target) = 0;
};

// What a message nobody can answer gets: OK, or No to a question.
inline MsgAnswer UnattendedAnswer(MsgButtons buttons)
{
    return buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
}

// The two message styles the program uses.
inline void ShowNotice(Platform &platform, const QString &text, const QString &title)
{
    platform.messageBox(text, title, MsgButtons::Ok, MsgIcon::Exclamation);
}

inline bool AskYesNo(Platform &platform, const QString &text, const QString &title)
{
    return platform.messageBox(text, title, MsgButtons::YesNo, MsgIcon::None) == MsgAnswer::Yes;
}
