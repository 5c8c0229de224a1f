// End to end on a real X server (Xvfb): the remote's Port menu opens the console over the
// built-in virtual controller at the pace of the 9600 bit/s line; a slider dragged with the mouse
// moves the controller's servo (seen in its monitor too); the program is backed up, a changed
// copy restored and compared.
#include "ConsoleTestSupport.h"
#include "app/Module1.h"
#include "console/ConsoleWindow.h"
#include "console/ProgramPanel.h"
#include "console/ServoPanel.h"
#include "emulator/QmcModel.h"
#include "emulator/VirtualController.h"
#include "link/TransSepaWindow.h"
#include "platform/Services.h"
#include "remote/RemoconWindow.h"
#include "remote/VirtualMonitor.h"
#include "settings/PreferClass.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

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
        const QPoint from = HandleCentre(slider);
        const QPoint to(slider->width() * 3 / 4, from.y());
        QTest::mousePress(slider, Qt::LeftButton, {}, from);
        for (int x = from.x(); x <= to.x(); x += 4) {
            QTest::mouseMove(slider, QPoint(x, from.y()));
            QTest::qWait(5);
        }
        QTest::mouseRelease(slider, Qt::LeftButton, {}, to);
        const int position = slider->value();
        QVERIFY2(position > 100, qPrintable(QString::number(position)));
        QTRY_COMPARE_WITH_TIMEOUT(int(model->servoPosition(1)), position, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(remote.virtualMonitor()->servoText(1), QString::number(position),
                                  kWaitMs);
        // The refresh reads the same back and leaves the slider there.
        const int refreshes = servos->refreshCount();
        QTRY_VERIFY_WITH_TIMEOUT(servos->refreshCount() > refreshes + 1, kWaitMs);
        QCOMPARE(slider->value(), position);

        // Back up the program into a file.
        ProgramPanel* program = console->programPanel();
        console->tabs()->setCurrentWidget(program);
        const QString saved = mDir.filePath(QStringLiteral("saved.bin"));
        ModalAnswers answers;
        answers.press(QStringLiteral("開始"));
        answers.choose(saved);
        QTest::mouseClick(program->backupButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(
            program->resultLabel()->text().startsWith("プログラム（51 バイト）"), kWaitMs);
        QCOMPARE(Contents(saved), QmcModel::demoProgram());

        // Restore a copy with another name in its header.
        QByteArray changed = Contents(saved);
        changed.replace("DEMO-01", "DEMO-02");
        const QString copy = mDir.filePath(QStringLiteral("changed.bin"));
        QFile out(copy);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(changed) == changed.size());
        out.close();
        answers.choose(copy);
        answers.press(QStringLiteral("書込み"));
        QTest::mouseClick(program->restoreButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(
            program->resultLabel()->text().startsWith("書込みと照合が終わりました（51 バイト）"),
            kWaitMs);
        QCOMPARE(char(model->extRom(0x0A)), '2');

        // Compare: the board holds the copy, and differs from the first backup at 000A.
        answers.choose(copy);
        QTest::mouseClick(program->verifyButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(program->resultLabel()->text().contains("と同じです（51 バイト）"),
                                 kWaitMs);
        answers.choose(saved);
        QTest::mouseClick(program->verifyButton(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(program->resultLabel()->text(),
                                  QStringLiteral("外部ROM 000A で違います: ファイルは 31、"
                                                 "コントローラーは 32。"),
                                  kWaitMs);
        QVERIFY(answers.done());

        console->close();
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
