#include "support/scriptedplatform.h"
#include "support/testenv.h"
#include "ui/about/frmabout.h"
#include "ui/addfolder/frmaddfolder.h"
#include "ui/main/frmmain.h"

#include <QApplication>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

void PrintTo(const QRect &rect, std::ostream *out)
{
    *out << rect.x() << ',' << rect.y() << ' ' << rect.width() << 'x' << rect.height();
}

namespace {

using testing::PrintToString;

int px(int twips)
{
    return (twips + 7) / 15;
}

// How a control may differ from its designed rectangle.
enum class Rule {
    Exact,  // as designed
    Grows,  // from its designed top left, at least its designed size
    Pushed, // at its designed top, moved right only, at least its designed height
};

struct Designed
{
    const char *name;
    const char *container; // the twips are relative to this widget
    int left, top, width, height;
    Rule rule = Rule::Exact;
    const char *label = nullptr; // a pushed control stands at least `gap` pixels after it
    int gap = 0;
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
        const QRect expected(px(d.left), px(d.top), px(d.width), px(d.height));
        if (d.rule == Rule::Exact) {
            EXPECT_EQ(actual, expected);
        } else if (d.rule == Rule::Grows) {
            EXPECT_TRUE(actual.topLeft() == expected.topLeft() && actual.contains(expected)) << PrintToString(actual);
        } else {
            EXPECT_TRUE(actual.top() == expected.top() && actual.left() >= expected.left()
                        && actual.height() >= expected.height())
                << PrintToString(actual);
            EXPECT_GE(actual.left() - rectIn(named(window, d.label), container).right() - 1, d.gap) << d.label;
        }
    }
}

// What the user sees: every named control inside its container, clear of its
// neighbours and with its caption whole; `cutOff` runs past the edge by design.
void expectUsable(QWidget *window, const char *cutOff = "")
{
    for (QWidget *widget : window->findChildren<QWidget *>()) {
        const QString name = widget->objectName();
        if (name.isEmpty() || name.startsWith(QLatin1String("qt_")) || name == QLatin1String(cutOff)
            || !widget->isVisibleTo(window))
            continue;
        SCOPED_TRACE(qPrintable(name));
        QWidget *container = widget->parentWidget();
        EXPECT_TRUE(container->rect().contains(widget->geometry())) << PrintToString(widget->geometry());
        for (QWidget *other : container->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
            EXPECT_FALSE(other != widget && other->isVisibleTo(window) && other->geometry().intersects(widget->geometry()))
                << qPrintable(other->objectName());
        auto *label = qobject_cast<QLabel *>(widget);
        if (label || qobject_cast<QPushButton *>(widget)) {
            const QSize needed = label && label->wordWrap() ? QSize(label->width(), label->heightForWidth(label->width()))
                                                            : widget->sizeHint();
            EXPECT_LE(needed.width(), widget->width());
            EXPECT_LE(needed.height(), widget->height());
        }
    }
}

// Drawn at fractional scales, each named control's frame shows on all four
// sides: its outermost device pixels differ from what lies outside and inside.
void expectFramesWhole(QWidget *window, const std::vector<const char *> &names)
{
    for (const qreal scale : {1.25, 1.5, 1.75}) {
        QPixmap picture((QSizeF(window->size()) * scale).toSize());
        picture.setDevicePixelRatio(scale);
        window->render(&picture);
        const QImage image = picture.toImage();
        for (const char *name : names) {
            SCOPED_TRACE(testing::Message() << name << " at " << scale);
            const QWidget *widget = named(window, name);
            const QRectF exact(QPointF(widget->mapTo(window, QPoint(0, 0))) * scale, QSizeF(widget->size()) * scale);
            const QPoint mid = exact.center().toPoint();
            const int left = qRound(exact.left()), top = qRound(exact.top());
            const int right = qRound(exact.right()) - 1, bottom = qRound(exact.bottom()) - 1;
            const auto shown = [&](QPoint edge, QPoint inward) {
                const QRgb outside = image.pixel(edge - 2 * inward), inside = image.pixel(edge + 4 * inward);
                for (const QPoint at : {edge, edge + inward})
                    if (image.pixel(at) != outside && image.pixel(at) != inside)
                        return true;
                return false;
            };
            EXPECT_TRUE(shown({left, mid.y()}, {1, 0})) << "left";
            EXPECT_TRUE(shown({mid.x(), top}, {0, 1})) << "top";
            EXPECT_TRUE(shown({right, mid.y()}, {-1, 0})) << "right";
            EXPECT_TRUE(shown({mid.x(), bottom}, {0, -1})) << "bottom";
        }
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
    void TearDown() override { QApplication::setFont(m_font); }
    ScriptedPlatform m_platform;
    const QFont m_font = QApplication::font();
};

TEST_F(LayoutTest, EveryWindowKeepsItsDesignAndShowsEveryControlWhole)
{
    frmAddFolder addFolder(m_platform, nullptr, [] { return QStringList(); }, [](const QString &) {});
    addFolder.show();
    EXPECT_EQ(addFolder.size(), QSize(px(7125), px(4530)));
    expectDesign(&addFolder, {
        {"Drive1", "frmAddFolder", 105, 105, 3540, 315},
        {"Dir1", "frmAddFolder", 120, 465, 6885, 3015},
        {"cmdAdd", "frmAddFolder", 5745, 3600, 1245, 390, Rule::Grows},
        {"cmdCancel", "frmAddFolder", 5745, 4080, 1245, 390, Rule::Grows},
        {"lblPath", "frmAddFolder", 795, 3780, 3840, 480},
    });
    expectUsable(&addFolder);
    expectFramesWhole(&addFolder, {"Dir1", "Drive1"});
    EXPECT_EQ(tabOrder(&addFolder, named(&addFolder, "Drive1")),
              QStringList({"Drive1", "Dir1", "cmdAdd", "cmdCancel"}));

    auto *about = new frmAbout(m_platform);
    about->show();
    EXPECT_EQ(about->size(), QSize(px(5730), px(6450)));
    expectDesign(about, {
        {"picIcon", "frmAbout", 240, 135, 1065, 990},
        {"lblTitle", "frmAbout", 1485, 225, 3885, 480},
        {"lblVersion", "frmAbout", 1485, 765, 3885, 225, Rule::Grows},
        {"lblDescription", "frmAbout", 1485, 1440, 3885, 510},
        {"Label1", "frmAbout", 1485, 2010, 3885, 645},
        {"lblURL", "frmAbout", 2535, 2820, 1740, 195, Rule::Grows},
        {"Label2", "frmAbout", 1485, 3300, 3885, 825},
        {"Label3", "frmAbout", 1485, 4350, 3885, 315},
        {"lblEmail", "frmAbout", 2340, 4875, 2205, 195, Rule::Grows},
        {"cmdOK", "frmAbout", 2235, 5700, 1260, 345, Rule::Grows},
    });
    expectUsable(about);
    EXPECT_EQ(tabOrder(about, named(about, "cmdOK")), QStringList{"cmdOK"});
    about->close();

    // A font a fifth larger grows the labels well past their designed width,
    // and the bars and fields beside them must make way.
    for (const double fontScale : {1.0, 1.2}) {
        SCOPED_TRACE(fontScale);
        QFont font = m_font;
        font.setPointSizeF(m_font.pointSizeF() * fontScale);
        QApplication::setFont(font);
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

        expectDesign(&main, {
            {"tabMain", "client", 315, 135, 6495, 5835},
            {"cmdAdd", "tabMain", 1320, 510, 1305, 405, Rule::Grows},
            {"cmdClear", "tabMain", 3825, 510, 1305, 405, Rule::Grows},
            {"lstFolders", "tabMain", 360, 1035, 5790, 2595},
            {"cmdProcess", "tabMain", 2595, 3855, 1305, 405, Rule::Grows},
            {"fraProgress", "tabMain", 360, 4395, 5790, 1200},
            {"Label5", "fraProgress", 75, 360, 915, 270, Rule::Grows},
            {"pbrAllFiles", "fraProgress", 1095, 360, 4440, 270, Rule::Pushed, "Label5", 7},
            {"Label4", "fraProgress", 75, 765, 915, 270, Rule::Grows},
            {"pbrThisFolder", "fraProgress", 1095, 765, 4440, 270, Rule::Pushed, "Label4", 7},
            {"stsStatus", "client", 0, 6270, 7110, 285},
            {"stsStatusPanel1", "stsStatus", 0, 0, 5000, 285},
            {"stsStatusPanel2", "stsStatus", 5000, 0, 2200, 285},
        });
        expectUsable(&main, "stsStatusPanel2");
        expectFramesWhole(&main, {"lstFolders", "pbrAllFiles", "cmdProcess"});
        tabs->setCurrentIndex(1);
        expectDesign(&main, {
            {"fraDestination", "tabMain", 420, 735, 5715, 2415},
            {"Label1", "fraDestination", 195, 510, 1100, 270, Rule::Grows},
            {"txtRedDir", "fraDestination", 1455, 435, 3500, 350, Rule::Pushed, "Label1", 10},
            {"Label2", "fraDestination", 195, 1110, 1100, 270, Rule::Grows},
            {"txtGreenDir", "fraDestination", 1455, 1035, 3500, 350, Rule::Pushed, "Label2", 10},
            {"Label3", "fraDestination", 195, 1710, 1100, 270, Rule::Grows},
            {"txtBlueDir", "fraDestination", 1455, 1635, 3500, 350, Rule::Pushed, "Label3", 10},
        });
        expectUsable(&main, "stsStatusPanel2");
        tabs->setCurrentIndex(0);
        EXPECT_EQ(tabOrder(&main, tabs),
                  QStringList({"tabMain", "cmdAdd", "cmdClear", "cmdProcess", "lstFolders", "txtRedDir",
                               "txtGreenDir", "txtBlueDir"}));
    }
}

} // namespace
