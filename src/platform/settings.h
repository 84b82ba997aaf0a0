#pragma once

#include <QString>

// The per-user settings store: text values addressed by section and key under
// the application "Prismora". A missing key yields the caller's default.

QString GetSetting(const QString &section, const QString &key, const QString &defaultValue);
void SaveSetting(const QString &section, const QString &key, const QString &value);
