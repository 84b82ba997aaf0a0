#include "platform/settings.h"

#include <QSettings>

namespace {

QSettings store()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Prismora"),
                     QStringLiteral("Prismora"));
}

QString address(const QString &section, const QString &key)
{
    return section + QLatin1Char('/') + key;
}

} // namespace

QString GetSetting(const QString &section, const QString &key, const QString &defaultValue)
{
    return store().value(address(section, key), defaultValue).toString();
}

void SaveSetting(const QString &section, const QString &key, const QString &value)
{
    auto settings = store();
    settings.setValue(address(section, key), value);
    settings.sync();
}
