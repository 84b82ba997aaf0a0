#include "support/scriptedplatform.h"
#include "support/testenv.h"
#include "ui/about/frmabout.h"
#include "ui/addfolder/frmaddfolder.h"
#include "ui/main/frmmain.h"

#include <QLineEdit>
#include <QMenuBar>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

void PrintTo(const QRect &rect, std::ostream *out)
{
    *out << rect.x() << ',' << rect.y() << ' ' << rect.width() << 'x' << rect.height();
}

namespace {

int px(int twips)
{
    return (twips + 7) / 15;
}

// How a control may differ from its designed rectangle.
enum class Rule {
    Exact,   // as designed
    Caption, // grown to its caption where the font needs it, from its designed top left
    Pushed,  // moved right, keeping the designed gap, by labels grown before it
};

struct Designed
{
    const char *name;
    const char *container; // the twips are relative to this widget
    int left, top, width, height;
    Rule rule = Rule::Exact;
    QList<const char *> pushedBy = {};
    int designedGap = 0; // twips between the pushing labels' right edge and this control
};

QRect rectIn(const QWidget *widget, const QWidget *container)
{
    return {widget->mapToGlobal(QPoint(0, 0)) - container->mapToGlobal(QPoint(0, 0)), widget->size()};
}

template <typename T = QWidget>
T *named(QWidget *window, const char *name)
{
    if (window->objectName() == QLatin1String(name))
        return qobject_cast<T *>(window);
    return window->findChild<T *>(QLatin1String(name));
}

void expectDesign(QWidget *window, const std::vector<Designed> &design)
{
    for (const Designed &d : design) {
        SCOPED_TRACE(d.name);
        QWidget *widget = named(window, d.name);
        QWidget *container = named(window, d.container);
        ASSERT_NE(widget, nullptr);
        ASSERT_NE(container, nullptr);
        const QRect actual = rectIn(widget, container);
        QRect expected(px(d.left), px(d.top), px(d.width), px(d.height));
        const QSize hint = widget->sizeHint();
        if (d.rule == Rule::Caption) {
            expected.setWidth(std::max(expected.width(), hint.width()));
            expected.setHeight(std::max(expected.height(), hint.height()));
        } else if (d.rule == Rule::Pushed) {
            int labelsEnd = 0;
            for (const char *label : d.pushedBy) {
                const QRect pushing = rectIn(named(window, label), container);
                labelsEnd = std::max(labelsEnd, pushing.x() + pushing.width());
            }
            expected.moveLeft(std::max(expected.left(), labelsEnd + (px(d.left) - px(d.left - d.designedGap))));
            expected.setRight(std::min(expected.right(), container->width() - 2));
            if (qobject_cast<QLineEdit *>(widget)) // a field grows to show its text whole
                expected.setHeight(std::max(expected.height(), hint.height()));
        }
        EXPECT_EQ(actual, expected);
    }
}

// The named controls in the order Tab visits them, starting at `first`.
QStringList tabOrder(QWidget *window, QWidget *first)
{
    QStringList order;
    QWidget *at = first;
    do {
        QWidget *owner = at;
        while (owner != window && owner->objectName().startsWith(QLatin1String("qt_")))
            owner = owner->parentWidget();
        if ((at->focusPolicy() & Qt::TabFocus) && !at->isHidden() && at->window() == window && !owner->objectName().isEmpty()
            && (order.isEmpty() || order.last() != owner->objectName()) && owner != window)
            order.append(owner->objectName());
        at = at->nextInFocusChain();
    } while (at != first);
    return order;
}

class LayoutTest : public ::testing::Test
{
protected:
    void SetUp() override { ClearSettings(); }
    ScriptedPlatform m_platform;
};

TEST_F(LayoutTest, EveryWindowHasItsDesignedGeometryAndTabOrder)
{
    frmMain main(m_platform);
    main.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));
    QWidget *client = main.centralWidget();
    EXPECT_EQ(client->size(), QSize(px(7110), px(6270)));
    EXPECT_EQ(main.width(), px(7110));
    EXPECT_EQ(main.minimumWidth(), main.maximumWidth());
    EXPECT_EQ(main.height(), main.menuBar()->height() + px(6555));
    auto *tabs = named<QTabWidget>(&main, "tabMain");
    ASSERT_NE(tabs, nullptr);
    for (int tab = 0; tab < tabs->count(); ++tab)
        EXPECT_EQ(tabs->tabBar()->tabRect(tab).width(), px(6495) / 3) << "tab " << tab;

    const QList<const char *> progressLabels = {"Label4", "Label5"};
    const QList<const char *> nameLabels = {"Label1", "Label2", "Label3"};
    expectDesign(&main, {
        {"tabMain", "client", 315, 135, 6495, 5835},
        {"cmdAdd", "tabMain", 1320, 510, 1305, 405, Rule::Caption},
        {"cmdClear", "tabMain", 3825, 510, 1305, 405, Rule::Caption},
        {"lstFolders", "tabMain", 360, 1035, 5790, 2595},
        {"cmdProcess", "tabMain", 2595, 3855, 1305, 405, Rule::Caption},
        {"fraProgress", "tabMain", 360, 4395, 5790, 1200},
        {"Label5", "fraProgress", 75, 360, 915, 270, Rule::Caption},
        {"pbrAllFiles", "fraProgress", 1095, 360, 4440, 270, Rule::Pushed, progressLabels, 105},
        {"Label4", "fraProgress", 75, 765, 915, 270, Rule::Caption},
        {"pbrThisFolder", "fraProgress", 1095, 765, 4440, 270, Rule::Pushed, progressLabels, 105},
        {"stsStatus", "client", 0, 6270, 7110, 285},
        {"stsStatusPanel1", "stsStatus", 0, 0, 5000, 285},
        {"stsStatusPanel2", "stsStatus", 5000, 0, 2200, 285},
    });
    tabs->setCurrentIndex(1);
    expectDesign(&main, {
        {"fraDestination", "tabMain", 420, 735, 5715, 2415},
        {"Label1", "fraDestination", 195, 510, 1100, 270, Rule::Caption},
        {"txtRedDir", "fraDestination", 1455, 435, 3500, 350, Rule::Pushed, nameLabels, 160},
        {"Label2", "fraDestination", 195, 1110, 1100, 270, Rule::Caption},
        {"txtGreenDir", "fraDestination", 1455, 1035, 3500, 350, Rule::Pushed, nameLabels, 160},
        {"Label3", "fraDestination", 195, 1710, 1100, 270, Rule::Caption},
        {"txtBlueDir", "fraDestination", 1455, 1635, 3500, 350, Rule::Pushed, nameLabels, 160},
    });
    tabs->setCurrentIndex(0);
    EXPECT_EQ(tabOrder(&main, tabs),
              QStringList({"tabMain", "cmdAdd", "cmdClear", "cmdProcess", "lstFolders", "txtRedDir", "txtGreenDir",
                           "txtBlueDir"}));

    frmAddFolder addFolder(m_platform, nullptr, [] { return QStringList(); }, [](const QString &) {});
    addFolder.show();
    EXPECT_EQ(addFolder.size(), QSize(px(7125), px(4530)));
    expectDesign(&addFolder, {
        {"Drive1", "frmAddFolder", 105, 105, 3540, 315},
        {"Dir1", "frmAddFolder", 120, 465, 6885, 3015},
        {"cmdAdd", "frmAddFolder", 5745, 3600, 1245, 390, Rule::Caption},
        {"cmdCancel", "frmAddFolder", 5745, 4080, 1245, 390, Rule::Caption},
        {"lblPath", "frmAddFolder", 795, 3780, 3840, 480},
    });
    EXPECT_EQ(tabOrder(&addFolder, named(&addFolder, "Drive1")),
              QStringList({"Drive1", "Dir1", "cmdAdd", "cmdCancel"}));

    auto *about = new frmAbout(m_platform);
    about->show();
    EXPECT_EQ(about->size(), QSize(px(5730), px(6450)));
    expectDesign(about, {
        {"picIcon", "frmAbout", 240, 135, 1065, 990},
        {"lblTitle", "frmAbout", 1485, 225, 3885, 480},
        {"lblVersion", "frmAbout", 1485, 765, 3885, 225, Rule::Caption},
        {"lblDescription", "frmAbout", 1485, 1440, 3885, 510},
        {"Label1", "frmAbout", 1485, 2010, 3885, 645},
        {"lblURL", "frmAbout", 2535, 2820, 1740, 195, Rule::Caption},
        {"Label2", "frmAbout", 1485, 3300, 3885, 825},
        {"Label3", "frmAbout", 1485, 4350, 3885, 315},
        {"lblEmail", "frmAbout", 2340, 4875, 2205, 195, Rule::Caption},
        {"cmdOK", "frmAbout", 2235, 5700, 1260, 345, Rule::Caption},
    });
    EXPECT_EQ(tabOrder(about, named(about, "cmdOK")), QStringList{"cmdOK"});
    about->close();
}

} // namespace
