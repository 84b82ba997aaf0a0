#pragma once

#include "platform/instancelock.h"
#include "platform/platform.h"

// The platform services as the Qt desktop provides them.
class QtPlatform : public Platform
{
public:
    MsgAnswer messageBox(const QString &text, const QString &title, MsgButtons buttons, MsgIcon icon) override;
    void beep() override;
    bool previousInstance() override;
    void shellExecute(const QString &operation, const QString &target) override;

private:
    InstanceLock m_lock;
};
