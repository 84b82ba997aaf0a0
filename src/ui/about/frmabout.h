#pragma once

#include <QDialog>

class Platform;
class QLabel;
class QPushButton;

// The About box: title, version, a picture, a few words and two links that the
// desktop opens. Built afresh at every opening.
class frmAbout : public QDialog
{
public:
    explicit frmAbout(Platform &platform);

    static QString title() { return QStringLiteral("Prismora"); }
    static QString supportAddress() { return QStringLiteral("support@prismora.example.org"); }
    static QString webSite() { return QStringLiteral("prismora.example.org"); }

private:
    void Form_Load();
    void RunShellVerb(const QString &operation, const QString &target, const QString &parameters = {},
                      const QString &directory = {}, int showCommand = 1);

    Platform &m_platform;
    QLabel *lblTitle = nullptr;
    QLabel *lblVersion = nullptr;
    QLabel *lblURL = nullptr;
    QLabel *lblEmail = nullptr;
    QPushButton *cmdOK = nullptr;
};
