// End to end on a real X server (Xvfb): the remote's Port menu opens the console over the
// built-in virtual controller at the pace of the 9600 bit/s line; a slider dragged with the mouse
// moves the controller's servo (seen in its monitor too); the program is backed up into a file;
// two poses taught with the mouse are played as a sequence, and the monitor shows the servo
// travel to each. What each step sends and shows is checked byte by byte in the console's own
// tests; here it is the real mouse, window system and line pace.
#include "ConsoleTestSupport.h"
#include "app/Module1.h"
#include "console/ConsoleWindow.h"
#include "console/ProgramPanel.h"
#include "console/SequencePanel.h"
#include "console/ServoPanel.h"
#include "emulator/QmcModel.h"
#include "emulator/VirtualController.h"
#include "link/TransSepaWindow.h"
#include "platform/Services.h"
#include "remote/RemoconWindow.h"
#include "remote/VirtualMonitor.h"
#include "settings/PreferClass.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

namespace {

constexpr int kWaitMs = 30000;

QByteArray Contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Where the slider's handle is drawn.
QPoint HandleCentre(QSlider* slider)
{
    QStyleOptionSlider option;
    option.initFrom(slider);
    option.orientation = slider->orientation();
    option.minimum = slider->minimum();
    option.maximum = slider->maximum();
    option.sliderPosition = slider->sliderPosition();
    option.sliderValue = slider->value();
    return slider->style()
        ->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, slider)
        .center();
}

// Drags the slider's handle with the mouse to x, a few pixels at a time; the value it ends at.
int Drag(QSlider* slider, int x)
{
    const QPoint from = HandleCentre(slider);
    const int step = x > from.x() ? 4 : -4;
    QTest::mousePress(slider, Qt::LeftButton, {}, from);
    for (int at = from.x(); step > 0 ? at <= x : at >= x; at += step) {
        QTest::mouseMove(slider, QPoint(at, from.y()));
        QTest::qWait(5);
    }
    QTest::mouseRelease(slider, Qt::LeftButton, {}, QPoint(x, from.y()));
    return slider->value();
}

} // namespace

class E2eConsole : public QObject
{
    Q_OBJECT
    QTemporaryDir mDir;

private slots:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        Services::setBeepHook([] {});
        VirtualController::registerBuiltInPort();
        VirtualController::model()->powerOn();
        gPref = new PreferClass(QStringLiteral("VantorController IR"), mDir.path());
        gPref->mPortInfo = SerialPortInfo(VirtualController::builtInPortEntry());
    }

    void consoleDrivesTheVirtualController()
    {
        new TransSepaWindow;
        RemoconWindow remote;
        remote.show();
        QVERIFY(QTest::qWaitForWindowExposed(&remote));
        QmcModel* model = VirtualController::model();
        remote.PortVirtualController()->trigger();
        remote.PortConsole()->trigger();
        QTRY_VERIFY(remote.console() && remote.virtualMonitor());
        ConsoleWindow* console = remote.console();
        QVERIFY(QTest::qWaitForWindowExposed(console));
        QTRY_COMPARE_WITH_TIMEOUT(console->modelLabel()->text(), QStringLiteral("QM4410"), kWaitMs);

        // The mouse drags servo 1's slider to the right; the controller's servo follows.
        ServoPanel* servos = console->servoPanel();
        QSlider* slider = servos->slider(1);
        QTRY_VERIFY_WITH_TIMEOUT(servos->refreshCount() > 0, kWaitMs);
        const int position = Drag(slider, slider->width() * 3 / 4);
        QVERIFY2(position > 100, qPrintable(QString::number(position)));
        QTRY_COMPARE_WITH_TIMEOUT(int(model->servoPosition(1)), position, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(remote.virtualMonitor()->servoText(1), QString::number(position),
                                  kWaitMs);

        // Back up the program into a file.
        ProgramPanel* program = console->programPanel();
        console->tabs()->setCurrentWidget(program);
        const QString saved = mDir.filePath(QStringLiteral("saved.bin"));
        ModalAnswers answers;
        answers.press(QStringLiteral("開始"));
        answers.choose(saved);
        QTest::mouseClick(program->backupButton(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(
            program->resultLabel()->text(),
            QStringLiteral("プログラム（51 バイト）を %1 に保存しました。").arg(saved), kWaitMs);
        QCOMPARE(Contents(saved), QmcModel::demoProgram());

        // Two poses with the mouse: servo 1 switched on where the slider is, a frame at speed 5;
        // the slider to the left, a second frame (at the speed of the first).
        console->tabs()->setCurrentWidget(servos);
        QTest::mouseClick(servos->power(1), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(model->servoOn(1), kWaitMs);
        SequencePanel* sequence = console->sequencePanel();
        console->tabs()->setCurrentWidget(sequence);
        QTest::mouseClick(sequence->addPoseButton(), Qt::LeftButton);
        QTest::mouseClick(sequence->speedBox(), Qt::LeftButton);
        QTest::keyClick(sequence->speedBox(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(sequence->speedBox(), QStringLiteral("5"));
        console->tabs()->setCurrentWidget(servos);
        const int back = Drag(slider, slider->width() / 4);
        QVERIFY2(position - back > 60, qPrintable(QString::number(back)));
        QTRY_COMPARE_WITH_TIMEOUT(int(model->servoPosition(1)), back, kWaitMs);
        console->tabs()->setCurrentWidget(sequence);
        QTest::mouseClick(sequence->addPoseButton(), Qt::LeftButton);
        QCOMPARE(sequence->sequence().frames.size(), 2);
        QCOMPARE(sequence->sequence().frames.value(1).speed, 5);

        // Played: the monitor shows the servo on its way out, arriving, and on its way back.
        QStringList shown;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            const QString text = remote.virtualMonitor()->servoText(1);
            if (shown.isEmpty() || shown.last() != text)
                shown << text;
        });
        watch.start(5);
        QTest::mouseClick(sequence->playButton(), Qt::LeftButton);
        QVERIFY(sequence->isPlaying());
        QTRY_VERIFY_WITH_TIMEOUT(!sequence->isPlaying(), kWaitMs);
        QTest::qWait(2 * VirtualMonitor::cTravelRefreshMs);
        watch.stop();
        QCOMPARE(sequence->resultLabel()->text(),
                 QStringLiteral("再生が終わりました（2 フレーム）。"));
        QCOMPARE(int(model->servoPosition(1)), back);
        const qsizetype arrived = shown.indexOf(QString::number(position));
        QVERIFY2(arrived > 1 && shown.last() == QString::number(back), qPrintable(shown.join(' ')));
        const auto between = [&](qsizetype from, qsizetype to) {
            return std::any_of(shown.begin() + from, shown.begin() + to, [&](const QString& p) {
                return p.toInt() > back && p.toInt() < position;
            });
        };
        QVERIFY2(between(0, arrived) && between(arrived, shown.size()),
                 qPrintable(shown.join(' ')));

        // Closing asks about the unsaved sequence.
        answers.press(QStringLiteral("保存しない"));
        console->close();
        QVERIFY(answers.done());
        QTRY_VERIFY_WITH_TIMEOUT(!gTw->mcpOpen(), kWaitMs);
        delete gTw;
    }

    void cleanupTestCase()
    {
        delete std::exchange(gPref, nullptr);
        Services::setBeepHook({});
    }
};

QTEST_MAIN(E2eConsole)
#include "e2e_Console.moc"
