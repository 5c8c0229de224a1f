#include "Window2.h"

#include "Artwork.h"
#include "platform/Services.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPointer>

#include <chrono>

using namespace std::chrono_literals;

namespace {
// How long the welcome splash stays up.
constexpr auto cWelcomeTime = 1500ms;

const QColor cLinkColor(0, 0, 255);
const QColor cTextColor(0, 0, 0);

QPointer<Window2> gWindow2;

// Text sizes are pixels: the fixed layout was drawn for them.
QLabel* makeText(QWidget* parent, const char* name, const QRect& geometry, int textSize,
                 const QString& text)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    label->setAlignment(Qt::AlignCenter);
    QFont f = label->font();
    f.setBold(true);
    f.setPixelSize(textSize);
    // A longer text than the layout was drawn for is made smaller, never cut.
    while (f.pixelSize() > 6 && QFontMetrics(f).horizontalAdvance(text) > geometry.width() - 2) {
        f.setPixelSize(f.pixelSize() - 1);
    }
    label->setFont(f);
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, cTextColor);
    label->setPalette(pal);
    return label;
}

QLabel* makePicture(QWidget* parent, const char* name, const QRect& geometry,
                    const QPixmap& picture)
{
    auto* canvas = new QLabel(parent);
    canvas->setObjectName(QLatin1String(name));
    canvas->setGeometry(geometry);
    canvas->setPixmap(picture);
    return canvas;
}
} // namespace

Window2* Window2::instance()
{
    if (!gWindow2)
        gWindow2 = new Window2;
    return gWindow2;
}

void Window2::ShowAbout()
{
    Window2* w = instance();
    if (w->isVisible()) {
        // Already showing (its modal loop runs): bring it forward only.
        w->raise();
        w->activateWindow();
        return;
    }
    w->exec();
}

Window2::Window2(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint)
{
    setObjectName(QStringLiteral("Window2"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("VantorController IR"));
    setFixedSize(330, 150);
    setModal(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
    setAutoFillBackground(true);

    const qreal dpr = devicePixelRatioF();
    Canvas1 = makePicture(this, "Canvas1", QRect(10, 8, 48, 48), Artwork::icon01_48(dpr));
    Canvas2 = makePicture(this, "Canvas2", QRect(70, 10, 240, 40), Artwork::Logo(dpr));
    StaticText1 =
        makeText(this, "StaticText1", QRect(-27, 125, 347, 20), 10, QStringLiteral(VANTOR_CREDITS));
    StaticText2 =
        makeText(this, "StaticText2", QRect(135, 110, 183, 16), 11, QStringLiteral(VANTOR_WEB_URL));
    StaticText3 =
        makeText(this, "StaticText3", QRect(135, 90, 183, 16), 11, QStringLiteral(VANTOR_MAIL_URL));
    StaticText4 =
        makeText(this, "StaticText4", QRect(218, 69, 100, 20), 14, QStringLiteral("v 0.0.0"));
    for (QLabel* link : {StaticText2, StaticText3}) {
        link->setCursor(Qt::PointingHandCursor);
        link->installEventFilter(this);
    }

    Timer1.setSingleShot(true);
    Timer1.setInterval(cWelcomeTime);
    connect(&Timer1, &QTimer::timeout, this, &Window2::Timer1_Action);

    StaticText4_Open();
}

void Window2::Welcome()
{
    mWelcome = true;
    Timer1.start();
    exec(); // deletes the window on return: nothing may touch it after this
}

void Window2::StaticText4_Open()
{
    StaticText4->setText(QStringLiteral("v") + QCoreApplication::applicationVersion());
}

void Window2::Timer1_Action()
{
    close();
}

void Window2::mousePressEvent(QMouseEvent* event)
{
    // Presses on the background only: presses the labels and pictures ignore
    // reach the window too, and must not close it.
    if (!mWelcome && !childAt(event->position().toPoint())) {
        close();
        return;
    }
    QDialog::mousePressEvent(event);
}

bool Window2::eventFilter(QObject* watched, QEvent* event)
{
    auto* link = qobject_cast<QLabel*>(watched);
    if (link && (link == StaticText2 || link == StaticText3)) {
        switch (event->type()) {
        case QEvent::Enter:
            Link_MouseEnter(link);
            break;
        case QEvent::Leave:
            Link_MouseExit(link);
            break;
        case QEvent::MouseButtonPress:
            return Link_MouseDown(link);
        default:
            break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void Window2::Link_MouseEnter(QLabel* link)
{
    QPalette pal = link->palette();
    pal.setColor(QPalette::WindowText, cLinkColor);
    link->setPalette(pal);
    QFont f = link->font();
    f.setUnderline(true);
    link->setFont(f);
}

void Window2::Link_MouseExit(QLabel* link)
{
    QPalette pal = link->palette();
    pal.setColor(QPalette::WindowText, cTextColor);
    link->setPalette(pal);
    QFont f = link->font();
    f.setUnderline(false);
    link->setFont(f);
}

bool Window2::Link_MouseDown(QLabel* link)
{
    // The address opened is the text shown. Links work in both modes and do
    // not close the window.
    if (!Services::ShowURL(link->text()))
        ShowAddress(link->text());
    return true;
}

void Window2::ShowAddress(const QString& url)
{
    // No program opens the address (no browser or mail program installed):
    // say so, and show the address where it can be selected and copied. Not
    // a nested modal loop: the splash's timer may close this window meanwhile.
    const QString text = QStringLiteral("このアドレスを開くプログラムが見つかりませんでした。\n\n");
    auto* box =
        new QMessageBox(QMessageBox::Information, windowTitle(), text + url, QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("AddressBox"));
    box->setTextFormat(Qt::PlainText);
    box->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}
