#include "support/scriptedplatform.h"
#include "support/testenv.h"
#include "ui/about/frmabout.h"
#include "ui/addfolder/frmaddfolder.h"
#include "ui/main/frmmain.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
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

// Only what the toolkit would not announce by itself: buttons, labels, frames
// and tabs are read from their captions anyway.
TEST_F(AccessibilityTest, FieldsBarsListsAndLinksAreAnnouncedAsTheyRead)
{
    frmMain main(m_platform);
    main.show();
    expectAnnounced(&main, {
        {"lstFolders", QAccessible::List, QStringLiteral("Folders")},
        {"pbrAllFiles", QAccessible::ProgressBar, QStringLiteral("All Files")},
        {"pbrThisFolder", QAccessible::ProgressBar, QStringLiteral("This Folder")},
        {"txtRedDir", QAccessible::EditableText, QStringLiteral("Red Folder:")},
        {"txtGreenDir", QAccessible::EditableText, QStringLiteral("Green Folder:")},
        {"txtBlueDir", QAccessible::EditableText, QStringLiteral("Blue Folder:")},
    });

    frmAddFolder addFolder(m_platform, nullptr, [] { return QStringList(); }, [](const QString &) {});
    addFolder.show();
    expectAnnounced(&addFolder, {
        {"Drive1", QAccessible::ComboBox, QStringLiteral("Drives")},
        {"Dir1", QAccessible::List, QStringLiteral("Folders")},
    });

    auto *about = new frmAbout(m_platform);
    about->show();
    expectAnnounced(about, {
        {"lblURL", QAccessible::Link, frmAbout::webSite()},
        {"lblEmail", QAccessible::Link, frmAbout::supportAddress()},
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
