#include "support/scriptedplatform.h"
#include "support/testenv.h"
#include "ui/about/frmabout.h"
#include "ui/addfolder/frmaddfolder.h"
#include "ui/main/frmmain.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QTabWidget>
#include <gtest/gtest.h>

namespace {

struct Announced
{
    const char *name;
    QAccessible::Role role;
    QString spoken;
};

QAccessibleInterface *accessible(QWidget *window, const char *name)
{
    QWidget *widget = window->findChild<QWidget *>(QLatin1String(name));
    return widget ? QAccessible::queryAccessibleInterface(widget) : nullptr;
}

// Each control is announced with the role and the name a sighted user reads.
void expectAnnounced(QWidget *window, const std::vector<Announced> &table)
{
    for (const Announced &row : table) {
        SCOPED_TRACE(row.name);
        QAccessibleInterface *control = accessible(window, row.name);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(control->role(), row.role);
        EXPECT_EQ(control->text(QAccessible::Name), row.spoken);
    }
}

class AccessibilityTest : public ::testing::Test
{
protected:
    void SetUp() override { ClearSettings(); }
    ScriptedPlatform m_platform;
};

TEST_F(AccessibilityTest, EveryControlIsAnnouncedAsItReads)
{
    frmMain main(m_platform);
    main.show();
    expectAnnounced(&main, {
        {"cmdAdd", QAccessible::PushButton, QStringLiteral("Add Folders...")},
        {"cmdClear", QAccessible::PushButton, QStringLiteral("Clear")},
        {"cmdProcess", QAccessible::PushButton, QStringLiteral("Process")},
        {"lstFolders", QAccessible::List, QStringLiteral("Folders")},
        {"fraProgress", QAccessible::Grouping, QStringLiteral("Progress")},
        {"Label5", QAccessible::StaticText, QStringLiteral("All Files:")},
        {"pbrAllFiles", QAccessible::ProgressBar, QStringLiteral("All Files")},
        {"Label4", QAccessible::StaticText, QStringLiteral("This Folder:")},
        {"pbrThisFolder", QAccessible::ProgressBar, QStringLiteral("This Folder")},
        {"fraDestination", QAccessible::Grouping, QStringLiteral("Destination Folders")},
        {"txtRedDir", QAccessible::EditableText, QStringLiteral("Red Folder:")},
        {"txtGreenDir", QAccessible::EditableText, QStringLiteral("Green Folder:")},
        {"txtBlueDir", QAccessible::EditableText, QStringLiteral("Blue Folder:")},
        {"stsStatusPanel1", QAccessible::StaticText, QStringLiteral("Ready...")},
        {"stsStatusPanel2", QAccessible::StaticText, QStringLiteral("Mode: Prismora only")},
    });
    // The tabs, by their captions.
    QAccessibleInterface *tabs =
        QAccessible::queryAccessibleInterface(main.findChild<QTabWidget *>(QStringLiteral("tabMain"))->tabBar());
    ASSERT_NE(tabs, nullptr);
    EXPECT_EQ(tabs->role(), QAccessible::PageTabList);
    QStringList tabNames;
    for (int i = 0; i < tabs->childCount(); ++i)
        if (tabs->child(i)->role() == QAccessible::PageTab)
            tabNames.append(tabs->child(i)->text(QAccessible::Name));
    EXPECT_EQ(tabNames, QStringList({QStringLiteral("Folders"), QStringLiteral("Options")}));

    frmAddFolder addFolder(m_platform, nullptr, [] { return QStringList(); }, [](const QString &) {});
    addFolder.show();
    expectAnnounced(&addFolder, {
        {"Drive1", QAccessible::ComboBox, QStringLiteral("Drives")},
        {"Dir1", QAccessible::List, QStringLiteral("Folders")},
        {"cmdAdd", QAccessible::PushButton, QStringLiteral("Add")},
        {"cmdCancel", QAccessible::PushButton, QStringLiteral("Close")},
    });
    // The folder entries read as bare names, without blanks for their depth.
    QAccessibleInterface *folders = accessible(&addFolder, "Dir1");
    ASSERT_GT(folders->childCount(), 1);
    for (int i = 0; i < folders->childCount(); ++i) {
        const QString entry = folders->child(i)->text(QAccessible::Name);
        EXPECT_EQ(entry, entry.trimmed());
    }

    auto *about = new frmAbout(m_platform);
    about->show();
    expectAnnounced(about, {
        {"lblTitle", QAccessible::StaticText, QStringLiteral("Prismora")},
        {"lblVersion", QAccessible::StaticText, QStringLiteral("Version 2.1.0")},
        {"lblURL", QAccessible::Link, frmAbout::webSite()},
        {"lblEmail", QAccessible::Link, frmAbout::supportAddress()},
        {"cmdOK", QAccessible::PushButton, QStringLiteral("OK")},
    });
    // A link pressed through the screen reader opens like a click.
    for (const char *link : {"lblURL", "lblEmail"}) {
        QAccessibleActionInterface *actions = accessible(about, link)->actionInterface();
        ASSERT_NE(actions, nullptr) << link;
        actions->doAction(QAccessibleActionInterface::pressAction());
    }
    EXPECT_EQ(m_platform.opened, QStringList({QStringLiteral("open ") + frmAbout::webSite(),
                                              QStringLiteral("open mailto:") + frmAbout::supportAddress()}));
    about->close();
}

} // namespace
