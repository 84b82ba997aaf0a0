#include "ui/about/frmabout.h"

#include "platform/platform.h"
#include "ui/common/twips.h"

#include <QAccessibleWidget>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>

#ifndef PRISMORA_VERSION_MAJOR
#error "the build defines the version numbers"
#endif

namespace {

// A label that acts on a click, as a link does.
class LinkLabel : public QLabel
{
    Q_OBJECT // its own class name, so that screen readers get AccessibleLink

public:
    LinkLabel(const QString &text, QWidget *parent, std::function<void()> onClick)
        : QLabel(text, parent), m_onClick(std::move(onClick))
    {
        setCursor(Qt::PointingHandCursor);
        QPalette blue = palette();
        blue.setColor(QPalette::WindowText, QColor(0, 0, 255));
        setPalette(blue);
    }

    void activate() { m_onClick(); }

protected:
    void mouseReleaseEvent(QMouseEvent *event) override
    {
        if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
            m_onClick();
        QLabel::mouseReleaseEvent(event);
    }

private:
    std::function<void()> m_onClick;
};

// What a screen reader learns of a link label: a link, named by its text,
// that can be pressed.
class AccessibleLink : public QAccessibleWidget
{
public:
    explicit AccessibleLink(LinkLabel *label) : QAccessibleWidget(label, QAccessible::Link) {}

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name)
            return static_cast<LinkLabel *>(widget())->text();
        return QAccessibleWidget::text(t);
    }
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString &action) override
    {
        if (action == pressAction())
            static_cast<LinkLabel *>(widget())->activate();
    }
};

QAccessibleInterface *linkFactory(const QString &, QObject *object)
{
    if (auto *link = dynamic_cast<LinkLabel *>(object))
        return new AccessibleLink(link);
    return nullptr;
}

QLabel *label(QWidget *parent, const char *name, const QString &text, const QRect &rect, bool wrap = false)
{
    auto *l = new QLabel(text, parent);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(rect);
    l->setWordWrap(wrap);
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return l;
}

} // namespace

frmAbout::frmAbout(Platform &platform) : m_platform(platform)
{
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(linkFactory);
        return true;
    }();
    (void)factoryInstalled;
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("About Prismora"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(px(5730), px(6450));

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setGeometry(twipRect(2235, 5700, 1260, 345));
    cmdOK->setDefault(true); // Enter; Esc rejects, which closes the box just the same
    connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);

    auto *picIcon = label(this, "picIcon", QString(), twipRect(240, 135, 1065, 990));
    picIcon->setPixmap(QPixmap(QStringLiteral(":/icons/about.png")));

    lblTitle = label(this, "lblTitle", QStringLiteral("Application Title"), twipRect(1485, 225, 3885, 480));
    QPalette black = lblTitle->palette();
    black.setColor(QPalette::WindowText, Qt::black);
    lblTitle->setPalette(black);
    lblVersion = label(this, "lblVersion", QStringLiteral("Version"), twipRect(1485, 765, 3885, 225));

    // Plain window text on the window's own background, like the other notes.
    label(this, "lblDescription", QStringLiteral("For everyone who ever wanted to see what each colour is made of."),
          twipRect(1485, 1440, 3885, 510), true);

    label(this, "Label1",
          QStringLiteral("Thanks to all who sent test images and ideas. News and updates are at our web site:"),
          twipRect(1485, 2010, 3885, 645), true);
    lblURL = new LinkLabel(webSite(), this, [this] { RunShellVerb(QStringLiteral("open"), lblURL->text()); });
    lblURL->setObjectName(QStringLiteral("lblURL"));
    lblURL->setGeometry(twipRect(2535, 2820, 1740, 195));
    label(this, "Label2",
          QStringLiteral("Thanks also to the authors of the public BMP test suite, whose odd and broken files "
                         "keep this tool honest."),
          twipRect(1485, 3300, 3885, 825), true);
    label(this, "Label3", QStringLiteral("For support, or to report bugs email me at:"),
          twipRect(1485, 4350, 3885, 315), true);
    lblEmail = new LinkLabel(supportAddress(), this, [this] {
        RunShellVerb(QStringLiteral("open"), lblEmail->property("tag").toString());
    });
    lblEmail->setObjectName(QStringLiteral("lblEmail"));
    lblEmail->setProperty("tag", QStringLiteral("mailto:") + supportAddress());
    lblEmail->setGeometry(twipRect(2340, 4875, 2205, 195));

    // Links grow to their text, to the right of their designed left edge,
    // where the font is wider than designed.
    for (QLabel *grow : {lblURL, lblEmail}) {
        QRect rect = grow->geometry();
        const QSize hint = grow->sizeHint();
        rect.setWidth(std::max(rect.width(), hint.width()));
        rect.setHeight(std::max(rect.height(), hint.height()));
        grow->setGeometry(rect);
    }
    setFocusProxy(cmdOK);
    cmdOK->setFocus();
    Form_Load();
}

void frmAbout::Form_Load()
{
    setWindowTitle(QStringLiteral("About ") + title());
    lblVersion->setText(QStringLiteral("Version %1.%2.%3")
                            .arg(PRISMORA_VERSION_MAJOR)
                            .arg(PRISMORA_VERSION_MINOR)
                            .arg(PRISMORA_VERSION_PATCH));
    lblTitle->setText(title());
}

void frmAbout::RunShellVerb(const QString &operation, const QString &target, const QString &parameters,
                            const QString &directory, int showCommand)
{
    // The desktop decides how to open the target; its answer is not examined.
    (void)parameters;
    (void)directory;
    (void)showCommand;
    m_platform.shellExecute(operation, target);
}

#include "frmabout.moc"
