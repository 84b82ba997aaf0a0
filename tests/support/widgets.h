#pragma once

#include <QListWidget>
#include <QStringList>

// The texts of a list's entries, in order.
inline QStringList ItemTexts(const QListWidget *list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts.append(list->item(i)->text());
    return texts;
}
