#include "app/window/form1.h"

#include "app/window/fonts.h"
#include "app/window/window_widgets.h"
#include "display/colours.h"
#include "transmit/wake_plan.h"

#include <QEvent>
#include <QIcon>
#include <QPainter>
#include <QSocketNotifier>
#include <QString>

#include <cmath>

// The pictures are compiled into the library; a static library needs their registration called
// explicitly, and the macro must stand outside any namespace.
static void initPicturesResource()
{
    Q_INIT_RESOURCE(pictures);
}

namespace app {

void registerWindowPictures()
{
    initPicturesResource();
}

namespace {

// The layout is written in twips, 15 to a pixel, as the window was designed; each value is
// rounded to the nearest pixel.
int px(int twips)
{
    return int(std::lround(twips / 15.0));
}

QRect twipRect(int left, int top, int width, int height)
{
    return {px(left), px(top), px(width), px(height)};
}

// Positions inside the panel are measured from its interior, inside the 2 px edge.
QRect panelRect(int left, int top, int width, int height)
{
    return twipRect(left, top, width, height).translated(DisplayPanel::kEdge, DisplayPanel::kEdge);
}

QPixmap picture(const char* name)
{
    QPixmap pixmap(QStringLiteral(":/pictures/") + QLatin1String(name));
    Q_ASSERT(!pixmap.isNull());
    return pixmap;
}

QString elementName(const char* name, int index)
{
    return QLatin1String(name) + QLatin1Char('_') + QString::number(index);
}

QLabel* imageElement(QWidget* parent, const QString& name, const QRect& geometry,
                     const QPixmap& pixmap)
{
    auto* label = new PictureSlot(parent);
    label->setObjectName(name);
    label->setGeometry(geometry);
    label->setPixmap(pixmap);
    return label;
}

// A text label: opaque ones paint black behind their text, the transparent one lets the
// window's background show through.
QLabel* textLabel(QWidget* parent, const QString& name, const QString& caption,
                  const QRect& geometry, Qt::Alignment horizontal, std::uint32_t colour,
                  bool opaque)
{
    auto* label = new TextLabel(caption, parent);
    label->setObjectName(name);
    label->setGeometry(geometry);
    label->setFont(labelFont());
    label->setAlignment(horizontal | Qt::AlignTop);
    label->setTextFormat(Qt::PlainText);
    label->setFocusPolicy(Qt::NoFocus);
    label->setAutoFillBackground(opaque);
    if (opaque) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::Window, Qt::black);
        label->setPalette(palette);
    }
    Form1::setTextColour(label, colour);
    return label;
}

constexpr std::array<const char16_t*, 7> kWeekdays{u"日", u"月", u"火", u"水", u"木", u"金", u"土"};

// Weekday colours at creation: Sunday dark red, Wednesday light blue, the rest navy.
std::uint32_t initialWeekdayColour(int element)
{
    if (element == 0)
        return display::kDarkRed;
    return element == 3 ? display::kLightBlue : display::kNavy;
}

}  // namespace

Form1::Form1(Form1Services services, QWidget* parent)
    : QWidget(parent),
      m_services(std::move(services)),
      m_transmission(*m_services.clock, *this, *m_services.sound, m_services.programFolder,
                     m_advances)
{
    registerWindowPictures();
    installFontSubstitutes();

    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("電波時計用ペンドレル"));
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);
    m_background = picture("background.bmp");
    setWindowIcon(QIcon(picture("icon.png")));

    buildDigitSources();
    buildPanel();
    buildControls();
    buildTimers();
    setTabOrder();
    Picture1->setFocus();

    connect(this, &Form1::Option1Click, this, &Form1::Option1_Click);
    for (int i = 0; i < 2; ++i) {
        connect(Command1[i], &QPushButton::clicked, this, [this, i] { Command1_Click(i); });
        connect(Command2[i], &QPushButton::clicked, this, [this, i] { Command2_Click(i); });
        connect(Command3[i], &QPushButton::clicked, this, [this, i] { Command3_Click(i); });
    }
    connect(Command4, &QPushButton::clicked, this, &Form1::Command4_Click);
    connect(Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    connect(timTokei, &QTimer::timeout, this, &Form1::timTokei_Timer);
    connect(timFlashIndicator, &QTimer::timeout, this, &Form1::timFlashIndicator_Timer);

    // The window starts with the transmit switch off: nothing is sent, the sound output rests.
    m_services.sound->setTransmitting(false);

    // Not one of the window's elements: a look at the sound output once a second while
    // transmitting. While not, nothing is sent that could go wrong, so the output is only
    // looked at when Label4's tooltip, which tells its state, is about to show.
    m_signalWatch = new QTimer(this);
    m_signalWatch->setObjectName(QStringLiteral("signalWatch"));
    m_signalWatch->setInterval(1000);
    connect(m_signalWatch, &QTimer::timeout, this, &Form1::checkSignal);
    Label4->installEventFilter(this);
}

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Label4 && event->type() == QEvent::ToolTip)
        checkSignal();
    return QWidget::eventFilter(watched, event);
}

Form1::~Form1() = default;

void Form1::buildDigitSources()
{
    // The sources of the digit pictures sit in a frame that is never shown.
    Frame1 = new QFrame(this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(twipRect(840, 3840, 6135, 1935));
    Frame1->setFocusPolicy(Qt::NoFocus);
    for (int d = 0; d < 10; ++d) {
        const QByteArray large = "digit_large_" + QByteArray::number(d) + ".bmp";
        const QByteArray small = "digit_small_" + QByteArray::number(d) + ".bmp";
        Image5[d] = imageElement(Frame1, elementName("Image5", d),
                                 twipRect(360 + 240 * d, 960, 165, 270), picture(large.constData()));
        Image8[d] = imageElement(Frame1, elementName("Image8", d),
                                 twipRect(3000 + 240 * d, 960, 120, 195), picture(small.constData()));
    }
    Frame1->hide();
}

void Form1::buildPanel()
{
    auto* panel = new DisplayPanel(this);
    Picture1 = panel;
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setGeometry(twipRect(120, 240, 4455, 1695));
    Picture1->setAccessibleName(QStringLiteral("時刻表示"));

    Label1 = textLabel(Picture1, QStringLiteral("Label1"), QStringLiteral("現在の時刻"),
                       panelRect(120, 120, 1335, 255), Qt::AlignHCenter, display::kWhite, true);
    Label2 = textLabel(Picture1, QStringLiteral("Label2"), QStringLiteral("送信する時刻"),
                       panelRect(120, 960, 1335, 255), Qt::AlignHCenter, display::kWhite, true);
    Label4 = textLabel(Picture1, QStringLiteral("Label4"), QStringLiteral("送信中"),
                       panelRect(400, 1320, 735, 255), Qt::AlignLeft, display::kDarkRed, true);

    // The two read-out rows differ only in their top edge: the date in four, two and two small
    // slots with a one-digit gap between the fields, then the time in pairs of large slots.
    static constexpr std::array<int, 8> dateLeft{1560, 1680, 1800, 1920, 2160, 2280, 2520, 2640};
    static constexpr std::array<int, 6> timeLeft{2880, 3040, 3360, 3520, 3840, 4000};
    const QPixmap smallEight = Image8[8]->pixmap();
    const QPixmap largeEight = Image5[8]->pixmap();
    const QPixmap colon = picture("colon.bmp");
    for (int k = 0; k < 8; ++k) {
        Image10[k] = imageElement(Picture1, elementName("Image10", k),
                                  panelRect(dateLeft[k], 120, 120, 195), smallEight);
        Image20[k] = imageElement(Picture1, elementName("Image20", k),
                                  panelRect(dateLeft[k], 960, 120, 195), smallEight);
    }
    for (int k = 0; k < 6; ++k) {
        Image7[k] = imageElement(Picture1, elementName("Image7", k),
                                 panelRect(timeLeft[k], 120, 165, 270), largeEight);
        Image17[k] = imageElement(Picture1, elementName("Image17", k),
                                  panelRect(timeLeft[k], 960, 165, 270), largeEight);
    }
    for (int k = 0; k < 4; ++k)
        Image11[k] = imageElement(Picture1, elementName("Image11", k),
                                  panelRect(k % 2 == 0 ? 3240 : 3720, k < 2 ? 160 : 1000, 75, 195),
                                  colon);

    for (int i = 0; i < 7; ++i) {
        const QString caption = QString::fromUtf16(kWeekdays[i]);
        Label5[i] = textLabel(Picture1, elementName("Label5", i), caption,
                              panelRect(1680 + 360 * i, 480, 375, 255), Qt::AlignLeft,
                              initialWeekdayColour(i), true);
        Label6[i] = textLabel(Picture1, elementName("Label6", i), caption,
                              panelRect(1680 + 360 * i, 1320, 375, 255), Qt::AlignLeft,
                              initialWeekdayColour(i), true);
    }
}

void Form1::buildControls()
{
    const QColor buttonText = palette().color(QPalette::ButtonText);
    Label3 = textLabel(this, QStringLiteral("Label3"), QStringLiteral("送信"),
                       twipRect(240, 1965, 495, 255), Qt::AlignLeft,
                       std::uint32_t(buttonText.red()) | std::uint32_t(buttonText.green()) << 8 |
                           std::uint32_t(buttonText.blue()) << 16,
                       false);

    const auto button = [this](const QString& name, const QPixmap& face, const QRect& geometry,
                               const QString& accessibleName) {
        auto* b = new PictureButton(face, this);
        b->setObjectName(name);
        b->setGeometry(geometry);
        b->setAccessibleName(accessibleName);
        return b;
    };

    const QPixmap on = picture("on.bmp");
    const QPixmap off = picture("off.bmp");
    Option1[0] = button(elementName("Option1", 0), on, twipRect(720, 1940, 400, 255),
                        QStringLiteral("送信オン"));
    Option1[1] = button(elementName("Option1", 1), off, twipRect(1140, 1940, 400, 255),
                        QStringLiteral("送信オフ"));
    m_option1Group.setExclusive(true);
    for (int i = 0; i < 2; ++i) {
        Option1[i]->setCheckable(true);
        m_option1Group.addButton(Option1[i], i);
    }
    Option1[1]->setChecked(true);
    // Like a Windows option group, the switch is one stop in the tab order: only the selected
    // element takes the focus from the keyboard, and the arrow keys move the selection.
    const auto updateTabStops = [this] {
        for (QAbstractButton* b : Option1)
            b->setFocusPolicy(b->isChecked() ? Qt::StrongFocus : Qt::ClickFocus);
    };
    updateTabStops();
    for (int i = 0; i < 2; ++i) {
        connect(Option1[i], &QAbstractButton::toggled, this, [this, i, updateTabStops](bool checked) {
            updateTabStops();
            if (checked)
                emit Option1Click(i);
        });
    }

    const QPixmap plus = picture("plus.bmp");
    const QPixmap minus = picture("minus.bmp");
    struct Pair {
        std::array<QPushButton*, 2>& buttons;
        const char* name;
        int left;
        const char16_t* what;
    };
    for (const Pair& pair : {Pair{Command1, "Command1", 2160, u"日"}, Pair{Command2, "Command2", 2880, u"時"},
                             Pair{Command3, "Command3", 3480, u"分"}}) {
        const QString what = QString::fromUtf16(pair.what);
        pair.buttons[0] = button(elementName(pair.name, 0), plus,
                                 twipRect(pair.left, 1920, 255, 255),
                                 what + QStringLiteral("を1つ進める"));
        pair.buttons[1] = button(elementName(pair.name, 1), minus,
                                 twipRect(pair.left + 240, 1920, 255, 255),
                                 what + QStringLiteral("を1つ戻す"));
    }
    Command4 = button(QStringLiteral("Command4"), picture("question.bmp"),
                      twipRect(4200, 1920, 255, 255), QStringLiteral("ヘルプ"));
    Command4->setAccessibleDescription(QStringLiteral("オンラインマニュアルを開きます"));
}

void Form1::buildTimers()
{
    const auto timer = [this](const char* name, int interval, bool on) {
        auto* t = new QTimer(this);
        t->setObjectName(QLatin1String(name));
        t->setInterval(interval);
        t->setTimerType(interval < 20 ? Qt::PreciseTimer : Qt::CoarseTimer);
        if (on)
            t->start();
        return t;
    };
    Timer1 = timer("Timer1", int(transmit::kPoll.count()), false);
    // The aimed wake-up must come when asked, not up to 5 % later as a coarse timer may.
    Timer1->setTimerType(Qt::PreciseTimer);
    timTokei = timer("timTokei", 200, true);
    timFlashIndicator = timer("timFlashIndicator", 1000, false);
    // Not one of the window's elements: the PC clock's second boundaries while transmitting.
    m_pcSecond = new QTimer(this);
    m_pcSecond->setObjectName(QStringLiteral("pcSecond"));
    m_pcSecond->setSingleShot(true);
    m_pcSecond->setTimerType(Qt::PreciseTimer);
    connect(m_pcSecond, &QTimer::timeout, this, &Form1::servePcSecond);

    if (m_clockSetWatch.fd() >= 0) {
        auto* notifier = new QSocketNotifier(qintptr(m_clockSetWatch.fd()), QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            if (m_clockSetWatch.takeStep())
                clockSet();
        });
    }
}

void Form1::aimTimer1()
{
    if (!Timer1->isActive())
        return;
    const auto cap = m_clockSetWatch.fd() >= 0 ? std::chrono::milliseconds::zero()
                                               : transmit::kStepCheck;
    const auto wait = transmit::timer1Wait(m_services.clock->now(), m_transmission.lastSec(), cap);
    Timer1->start(int(wait.count()));
}

void Form1::setTabOrder()
{
    const std::array<QWidget*, 10> order{Picture1,    Option1[0],  Option1[1],  Command1[0],
                                         Command1[1], Command2[0], Command2[1], Command3[0],
                                         Command3[1], Command4};
    for (std::size_t i = 0; i + 1 < order.size(); ++i)
        QWidget::setTabOrder(order[i], order[i + 1]);
}

void Form1::selectOption1(int index)
{
    Option1.at(std::size_t(index))->setChecked(true);
}

bool Form1::option1Selected(int index) const
{
    return Option1.at(std::size_t(index))->isChecked();
}

void Form1::paintEvent(QPaintEvent*)
{
    // The background is drawn unscaled from the corner; the window shows only part of it.
    QPainter p(this);
    p.drawPixmap(0, 0, m_background);
}

}  // namespace app
