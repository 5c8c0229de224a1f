// The controller console over the controller window's link and scheduler: what it reads and
// writes on the wire (byte by byte, through a fake port answered by the controller model), what
// it shows after each answer, its files, and how it shares the line with the remote.
#include "ConsoleTestSupport.h"
#include "FakeSerial.h"
#include "app/MenuBar1.h"
#include "app/Module1.h"
#include "console/ConsoleJobs.h"
#include "console/ConsoleWindow.h"
#include "console/JobProgress.h"
#include "console/MemoryPanel.h"
#include "console/ProgramPanel.h"
#include "console/SequencePanel.h"
#include "console/ServoPanel.h"
#include "console/TrafficPanel.h"
#include "emulator/QmcModel.h"
#include "link/BoardJobs.h"
#include "link/SequenceFile.h"
#include "link/TransSepaWindow.h"
#include "platform/Services.h"
#include "remote/RemoconWindow.h"
#include "settings/PreferClass.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

namespace {

constexpr int kWaitMs = 10000;

// A command given from the console, the bytes it puts on the line, and what the console then
// shows.
struct Command
{
    const char* name;
    std::function<void(ConsoleWindow&)> act;
    QByteArray wire;
    int ticked = 0;         // servo switches ticked afterwards
    QString runResult = {}; // the run-control line afterwards; empty: not checked
    // Done and waited for before the command; its bytes are not part of the wire.
    std::function<void(ConsoleWindow&, QmcModel&)> prepare = {};
    int beeps = 0;
};

// The same command, then each channel from 1 to 48.
QByteArray EveryChannel(char code)
{
    QByteArray wire;
    for (int ch = 1; ch <= 48; ++ch)
        wire += QByteArray(1, code) + char(ch);
    return wire;
}

// A memory range read into the hex view, or refused.
struct MemoryRead
{
    const char* name;
    int memory; // row of the memory box: 0 static RAM, 1 internal ROM, 2 external ROM
    const char* address;
    int length;
    QByteArray wire = {}; // empty: refused, nothing goes out
    QString firstLine;
    QString result;
    QByteArray saved = {}; // the file saved afterwards
};

// A restore of a 200-byte program over the demo one: whether the board is made to differ after
// the write or the user cancels it, and the result before the backup's path.
struct Restore
{
    const char* name;
    int poke = -1;     // external ROM address changed between write and read-back
    int cancelAt = -1; // bytes written when the user cancels
    QString result;
};

// Closing or pausing the console: whether the port is let go.
struct Release
{
    const char* name;
    bool pause = false; // else the window is closed
    bool keepLinkOpen = false;
    bool portOpen;
};

QByteArray Program(int size, char fill)
{
    QByteArray image(size, fill);
    image[0x0E] = char(size & 0xFF);
    image[0x0F] = char(size >> 8);
    return image;
}

} // namespace
Q_DECLARE_METATYPE(Command)
Q_DECLARE_METATYPE(MemoryRead)
Q_DECLARE_METATYPE(Restore)
Q_DECLARE_METATYPE(Release)

class TestConsoleWindow : public QObject
{
    Q_OBJECT
    QTemporaryDir mDir;
    FakeSerialDevice* mFake = nullptr;
    QmcModel* mModel = nullptr;
    RemoconWindow* mWin = nullptr;
    int mBeeps = 0;
    qint64 mNow = 0; // the model's clock, when a test moves it by hand

    // The fake port answers as the controller model does.
    void answerAsModel()
    {
        mFake->setReplier([this](char c) {
            const auto r = mModel->feed(quint8(c));
            return r ? QByteArray(1, char(*r)) : QByteArray();
        });
    }
    ConsoleWindow* con() const { return mWin->console(); }
    ServoPanel* servos() const { return con()->servoPanel(); }
    SequencePanel* sequences() const { return con()->sequencePanel(); }
    // Teaches two frames from the servo pane, as a user does: servos 1 and 2 switched on and put
    // at 200 and 90, a pose; servo 1 to 60 and servo 2 off, a pose. The first frame moves at
    // `firstSpeed`; the second takes it over. The model's clock stands still from here on.
    SequencePanel* teachTwoFrames(int firstSpeed)
    {
        mModel->setClock([this] { return mNow; });
        SequencePanel* p = sequences();
        servos()->power(1)->click();
        servos()->power(2)->click();
        servos()->slider(1)->setValue(200);
        servos()->slider(2)->setValue(90);
        waitIdle();
        con()->tabs()->setCurrentWidget(p);
        p->addPoseButton()->click();
        p->speedBox()->setValue(firstSpeed);
        con()->tabs()->setCurrentWidget(servos());
        servos()->slider(1)->setValue(60);
        servos()->power(2)->click();
        waitIdle();
        con()->tabs()->setCurrentWidget(p);
        p->addPoseButton()->click();
        mFake->clearWritten();
        return p;
    }
    QString listed(int frame, int column) const
    {
        const QTableWidgetItem* item = sequences()->frameList()->item(frame, column);
        return item ? item->text() : QStringLiteral("<none>");
    }
    void waitIdle()
    {
        QTRY_VERIFY_WITH_TIMEOUT(gTw->scheduler()->isIdle() && !gTw->link()->exchangeInFlight() &&
                                     !con()->jobs()->busy(),
                                 kWaitMs);
    }
    // Opens the console; unless polling, it is paused at once and the board read is waited for,
    // and the wire is cleared.
    ConsoleWindow* open(bool polling = false)
    {
        mWin->PortConsole_Action();
        if (!polling) {
            servos()->setPaused(true);
            waitIdle();
            mFake->clearWritten();
        }
        return con();
    }
    QString written() const { return QString::fromLatin1(mFake->written().toHex(' ').toUpper()); }
    static QString hex(const QByteArray& bytes)
    {
        return QString::fromLatin1(bytes.toHex(' ').toUpper());
    }
    QString file(const QString& name) const { return mDir.filePath(name); }
    static QByteArray contents(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
    }
    static QStringList backups()
    {
        return QDir(ProgramBackupFolder()).entryList(QDir::Files, QDir::Name);
    }
    void writeFile(const QString& path, const QByteArray& bytes)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(bytes), bytes.size());
    }

private slots:
    void initTestCase()
    {
        // Never the user's own data folder: backups go there.
        QVERIFY(ProgramBackupFolder().startsWith(qEnvironmentVariable("XDG_DATA_HOME")));
        QVERIFY(!qEnvironmentVariableIsEmpty("XDG_DATA_HOME"));
        Services::setBeepHook([this] { ++mBeeps; });
        mFake = new FakeSerialDevice(this);
        mModel = new QmcModel(this);
        SerialPorts::setOverride({mFake->entry(QStringLiteral("FAKE1"))});
        gPref = new PreferClass(QStringLiteral("VantorController IR"), mDir.path());
        new TransSepaWindow;
        mWin = new RemoconWindow;
        mWin->show();
        QVERIFY(QTest::qWaitForWindowExposed(mWin));
    }
    void init()
    {
        mModel->powerOn();
        mModel->setAbandonAfter(std::chrono::milliseconds(0));
        answerAsModel();
        gPref->mPortInfo = SerialPortInfo(SerialPorts::at(0));
        gPref->mNotAutoDisconnect = false;
        mFake->clearWritten();
        mBeeps = 0;
        QDir(ProgramBackupFolder()).removeRecursively();
    }
    void cleanup()
    {
        // A test's own replier may hold references to its locals: the exchange still on the
        // line is answered by the model.
        answerAsModel();
        mModel->setClock({});
        // Each test starts with a console made afresh; a sequence left unsaved is let go.
        if (con()) {
            ModalAnswers answers;
            answers.press(QStringLiteral("保存しない"));
            con()->close();
            waitIdle();
            delete con();
        }
        if (gTw->mcpOpen())
            gTw->RbPortClose(true);
    }
    void cleanupTestCase()
    {
        delete mWin;
        delete gTw;
        delete std::exchange(gPref, nullptr);
        Services::setBeepHook({});
        SerialPorts::clearOverride();
    }

    // --- Opening ------------------------------------------------------------------------

    void theMenusOpenOneConsole()
    {
        QMenu* port = MenuBar1::instance()->menu(QStringLiteral("PortMenu"));
        emit port->aboutToShow();
        QStringList captions;
        for (QAction* a : port->actions())
            captions << (a->isSeparator() ? QStringLiteral("-") : a->text());
        QCOMPARE(captions, (QStringList{"接続", "-", "ポート設定...", "仮想コントローラー...", "-",
                                        "コンソール..."}));
        QVERIFY(mWin->PortConsole()->isEnabled());
        mWin->PortConsole()->trigger(); // queued: runs after the menu closed
        QTRY_VERIFY(con() && con()->isVisible());
        ConsoleWindow* first = con();
        QCOMPARE(first->windowTitle(), QStringLiteral("コントローラー コンソール"));
        QCOMPARE(first->tabs()->count(), 5);
        mWin->PortConsole()->trigger();
        QTest::qWait(20);
        QCOMPARE(con(), first); // raised, not made again
        first->close();
        waitIdle();

        // The remote's pop-up offers it last, after a separator.
        const QPoint at = mWin->SettingST->geometry().center();
        mWin->Event_MouseDown(at.x(), at.y(), true);
        QTRY_VERIFY(mWin->popupMenu() && mWin->popupMenu()->isVisible());
        const QList<QAction*> items = mWin->popupMenu()->actions();
        QCOMPARE(items.last()->text(), QStringLiteral("コンソール..."));
        QVERIFY(items.at(items.size() - 2)->isSeparator());
        items.last()->trigger();
        QTRY_VERIFY(con()->isVisible());
        QCOMPARE(con(), first);
    }

    void openingReadsTheBoardThenPolls()
    {
        mModel->setServoPosition(7, 33);
        mModel->setServoPosition(48, 200);
        open(true);
        QVERIFY(!servos()->isPaused());
        // Who the board is, then the servo groups 1 to 8 again and again, the moving flag with
        // every fourth refresh.
        const QByteArray expected = IdentifyWire("QM4410") + PollWire() + PollWire(false) +
                                    PollWire(false) + PollWire(false) + PollWire();
        QTRY_VERIFY_WITH_TIMEOUT(mFake->written().size() >= expected.size(), kWaitMs);
        QCOMPARE(hex(mFake->written().left(expected.size())), hex(expected));
        QCOMPARE(con()->modelLabel()->text(), QStringLiteral("QM4410"));
        QCOMPARE(con()->checksumLabel()->text(), QStringLiteral("0x111E"));
        QCOMPARE(con()->sizeLabel()->text(), QStringLiteral("51 バイト"));
        QCOMPARE(con()->headerLabel()->text(),
                 QStringLiteral("51 50 01 03 44 45 4D 4F 2D 30 31 20 10 00 33 00"));
        QCOMPARE(servos()->slider(7)->value(), 33);
        QCOMPARE(servos()->number(48)->value(), 200);
        QCOMPARE(servos()->movingLabel()->text(), QStringLiteral("停止中"));
        QCOMPARE(con()->statusLabel()->text(), QStringLiteral("QM4410 が応答しました"));

        // The button reads the board again.
        servos()->setPaused(true);
        waitIdle();
        mFake->clearWritten();
        con()->readBoardButton()->click();
        waitIdle();
        QCOMPARE(written(), hex(IdentifyWire("QM4410")));
    }

    void everyFieldIsNamedByItsCaption()
    {
        open();
        const MemoryPanel* m = con()->memoryPanel();
        const SequencePanel* s = sequences();
        const std::pair<QWidget*, QString> fields[] = {
            {con()->modelLabel(), "モデル:"},
            {con()->checksumLabel(), "チェックサム（SRAM 04F2〜04F3）:"},
            {con()->sizeLabel(), "プログラムサイズ:"},
            {con()->headerLabel(), "プログラムヘッダー:"},
            {servos()->speedBox(), "速度:"},
            {servos()->speedValueBox(), "速度値:"},
            {servos()->slider(48), "48"},
            {m->memoryBox(), "メモリ(&Y):"},
            {m->addressEdit(), "先頭アドレス（16進）(&A):"},
            {m->lengthBox(), "長さ(&N):"},
            {s->nameEdit(), "シーケンス名(&J):"},
            {s->frameNameEdit(), "フレーム名(&F):"},
            {s->speedBox(), "速度(&U):"},
            {s->waitBox(), "待ち(&W):"},
            {s->holdBox(), "保持(&H):"},
            {s->poseLabel(), "姿勢:"},
        };
        const QList<QLabel*> labels = con()->findChildren<QLabel*>();
        for (const auto& [field, caption] : fields) {
            QStringList captions; // of the labels whose mnemonic leads to the field
            for (const QLabel* label : labels) {
                if (label->buddy() == field)
                    captions << label->text();
            }
            QCOMPARE(captions, QStringList{caption});
        }
    }

    // --- Servos and run control -------------------------------------------------------

    void commandsOnTheWire_data()
    {
        QTest::addColumn<Command>("c");
        // A slider's move is in the drag and keyboard tests, the speed's in the traffic log's.
        const Command rows[] = {
            {.name = "number 48 to 123",
             .act = [](ConsoleWindow& c) { c.servoPanel()->number(48)->setValue(123); },
             .wire = H("E6307B")},
            {.name = "switch 5 on",
             .act = [](ConsoleWindow& c) { c.servoPanel()->power(5)->click(); },
             .wire = H("E705"),
             .ticked = 1},
            {.name = "all on",
             .act = [](ConsoleWindow& c) { c.servoPanel()->allOnButton()->click(); },
             .wire = EveryChannel(char(0xE7)),
             .ticked = 48},
            {.name = "all off, after all on",
             .act = [](ConsoleWindow& c) { c.servoPanel()->allOffButton()->click(); },
             .wire = EveryChannel(char(0xE8)),
             .prepare = [](ConsoleWindow& c,
                           QmcModel&) { c.servoPanel()->allOnButton()->click(); }},
            {.name = "speed value 32",
             .act =
                 [](ConsoleWindow& c) {
                     c.servoPanel()->speedValueBox()->setValue(32);
                     c.servoPanel()->speedValueButton()->click();
                 },
             .wire = H("E920")},
            {.name = "point-to-point on",
             .act = [](ConsoleWindow& c) { c.servoPanel()->ptpBox()->click(); },
             .wire = H("B101")},
            {.name = "run",
             .act = [](ConsoleWindow& c) { c.runButton("RUN")->click(); },
             .wire = H("FB"),
             .runResult = "実行: コントローラーが受け付けました（FB のエコー）"},
            {.name = "break",
             .act = [](ConsoleWindow& c) { c.runButton("BREAK")->click(); },
             .wire = H("F3"),
             .runResult = "ブレーク: コントローラーが受け付けました（F3 のエコー）"},
            {.name = "reset, answered with a wrong echo: the link beeps, the console tells",
             .act = [](ConsoleWindow& c) { c.runButton("RESET")->click(); },
             .wire = H("FC"),
             .runResult = "リセット: コントローラーは FC を返しませんでした（エコーが違います）",
             .prepare = [](ConsoleWindow&, QmcModel& m) { m.setFault(QmcModel::Fault::Wrong); },
             .beeps = 1},
        };
        for (const Command& c : rows)
            QTest::newRow(c.name) << c;
    }
    void commandsOnTheWire()
    {
        QFETCH(Command, c);
        open();
        if (c.prepare) {
            c.prepare(*con(), *mModel);
            waitIdle();
            mFake->clearWritten();
        }
        c.act(*con());
        waitIdle();
        QCOMPARE(written(), hex(c.wire));
        int ticked = 0;
        for (int ch = 1; ch <= ServoPanel::cChannels; ++ch)
            ticked += servos()->power(ch)->isChecked() ? 1 : 0;
        QCOMPARE(ticked, c.ticked);
        if (!c.runResult.isEmpty())
            QCOMPARE(con()->runResultLabel()->text(), c.runResult);
        QCOMPARE(mBeeps, c.beeps);
    }

    void draggingSendsTheLatestValue()
    {
        open();
        mFake->setReplier({}); // the line is slow: nothing is answered yet
        QSlider* s = servos()->slider(1);
        s->setSliderDown(true);
        s->setValue(10);
        QCOMPARE(written(), QStringLiteral("E6"));
        s->setValue(20); // passed over: never sent
        s->setValue(30);
        s->setSliderDown(false);
        mFake->setEcho();
        mFake->feed(H("E6")); // the first move's answers come, then the latest value goes out
        waitIdle();
        QCOMPARE(written(), QStringLiteral("E6 01 0A E6 01 1E"));
        QCOMPARE(servos()->number(1)->value(), 30);
    }

    void aDraggedSliderKeepsItsValue()
    {
        open(true);
        QTRY_VERIFY_WITH_TIMEOUT(servos()->refreshCount() > 0, kWaitMs);
        QSlider* s = servos()->slider(2);
        s->setSliderDown(true); // held by the user, not moved
        mModel->setServoPosition(2, 77);
        mModel->setServoPosition(3, 78);
        const int seen = servos()->refreshCount();
        QTRY_VERIFY_WITH_TIMEOUT(servos()->refreshCount() >= seen + 2, kWaitMs);
        QCOMPARE(servos()->slider(3)->value(), 78);
        QCOMPARE(s->value(), 0);
        s->setSliderDown(false);
        QTRY_COMPARE_WITH_TIMEOUT(s->value(), 77, kWaitMs);
    }

    void keyClickDuringPollingGoesFirst()
    {
        open(true);
        QTRY_VERIFY_WITH_TIMEOUT(servos()->refreshCount() > 0, kWaitMs);
        // From now on: echoes. The key is clicked while group 3's read is on the line, between
        // its third byte and that byte's answer.
        QByteArray atClick;
        QByteArray afterClick;
        int groupBytes = -1;
        mFake->setReplier([&](char c) {
            if (quint8(c) == 0xD6)
                groupBytes = 0;
            if (groupBytes >= 0 && ++groupBytes == 3 && atClick.isEmpty()) {
                QTimer::singleShot(0, this, [&] {
                    atClick = mFake->written();
                    mWin->IRRCnv_Action(5); // ID=1, #1 variable: 05
                    afterClick = mFake->written();
                });
            }
            return QByteArray(1, c);
        });
        const int seen = servos()->refreshCount();
        QTRY_VERIFY_WITH_TIMEOUT(servos()->refreshCount() >= seen + 2, kWaitMs);
        QVERIFY(atClick.endsWith(H("D60000")));
        // The controller is in the middle of the group read: the key waits for its end (four
        // more bytes), goes out, and the polling goes on with group 4.
        QCOMPARE(hex(afterClick.mid(atClick.size())), QString());
        const QByteArray rest = QByteArray(4, '\0') + H("05") + PollWire(false).mid(3 * 7);
        const QByteArray after = mFake->written().mid(atClick.size());
        QCOMPARE(hex(after.left(rest.size())), hex(rest));
    }

    void aGarbledPollIsRetriedAtOnce()
    {
        // Two bytes come for one (noise, a late answer): that poll fails, the next goes at once,
        // without the quiet retry of a board that does not answer.
        open(true);
        QTRY_VERIFY_WITH_TIMEOUT(servos()->refreshCount() > 0, kWaitMs);
        bool garbled = false;
        mFake->setReplier([&](char c) {
            const auto r = mModel->feed(quint8(c));
            QByteArray answer = r ? QByteArray(1, char(*r)) : QByteArray();
            if (!garbled && quint8(c) == 0xD5) {
                garbled = true;
                answer += '\x77';
            }
            return answer;
        });
        QSignalSpy failed(servos(), &ServoPanel::pollFailed);
        const int seen = servos()->refreshCount();
        QTRY_VERIFY_WITH_TIMEOUT(servos()->refreshCount() >= seen + 2, kWaitMs);
        QVERIFY(garbled);
        QCOMPARE(failed.count(), 0);
        QCOMPARE(con()->jobs()->lineFault(), LinkFault::None); // the next poll ended the episode
    }

    void closingOrPausingLetsThePortGo_data()
    {
        QTest::addColumn<Release>("r");
        const Release rows[] = {
            {.name = "closed", .portOpen = false},
            {.name = "paused", .pause = true, .portOpen = false},
            {.name = "closed, the link kept open by preference",
             .keepLinkOpen = true,
             .portOpen = true},
        };
        for (const Release& r : rows)
            QTest::newRow(r.name) << r;
    }
    void closingOrPausingLetsThePortGo()
    {
        QFETCH(Release, r);
        gPref->mNotAutoDisconnect = r.keepLinkOpen;
        open(true);
        QTRY_VERIFY_WITH_TIMEOUT(servos()->refreshCount() > 0 && gTw->mcpOpen(), kWaitMs);
        if (r.pause)
            servos()->pauseButton()->click();
        else
            con()->close();
        waitIdle();
        QTRY_COMPARE(gTw->mcpOpen(), r.portOpen);
        QVERIFY(!servos()->isPolling());
        const qsizetype bytes = mFake->written().size();
        QTest::qWait(100);
        QCOMPARE(mFake->written().size(), bytes); // nothing more goes out
    }

    // --- Sequences --------------------------------------------------------------------

    void framesFromTheSlidersPlayAndStop()
    {
        open();
        SequencePanel* p = teachTwoFrames(0);
        p->speedBox()->setValue(5);
        // Each frame listed by what it changes.
        QCOMPARE(listed(0, SequencePanel::ChangesColumn),
                 QStringLiteral("1: オン 200、2: オン 90"));
        QCOMPARE(listed(1, SequencePanel::ChangesColumn), QStringLiteral("1: 60（-140）、2: オフ"));
        QCOMPARE(p->poseLabel()->text(), QStringLiteral("1: 60、2: オフ"));
        QCOMPARE(written(), QString()); // teaching sends nothing

        const QByteArray first = H("B200 E701 E601C8 E702 E6025A");
        const QByteArray second = H("B205 E701 E6013C E802");
        const QByteArray head = first + H("B000") + second;
        // Once frame 2's bytes are out (frame 1 at speed 0 is there at once; frame 2 travels on
        // the model's clock, which stands still): what is marked, read to a screen reader and
        // said then.
        const auto spoken = [p](int frame) {
            return p->frameList()
                ->item(frame, SequencePanel::MarkColumn)
                ->data(Qt::AccessibleTextRole)
                .toString();
        };
        QStringList seen;
        connect(
            gTw->scheduler(), &BoardScheduler::jobProgress, this,
            [&](BoardJob*) {
                if (seen.isEmpty() && mFake->written().size() >= head.size())
                    seen << listed(0, SequencePanel::MarkColumn)
                         << listed(1, SequencePanel::MarkColumn) << spoken(0) << spoken(1)
                         << p->resultLabel()->text();
            },
            Qt::DirectConnection);
        p->playButton()->click();
        // Frame 2 on the line, and asked about while it travels; then it arrives.
        QTRY_VERIFY_WITH_TIMEOUT(mFake->written().size() >= head.size() + 4, kWaitMs);
        mNow += QmcModel::travelMs(140, 5);
        waitIdle();
        disconnect(gTw->scheduler(), &BoardScheduler::jobProgress, this, nullptr);
        QCOMPARE(seen, (QStringList{"", "▶", "", "再生中", "再生中: フレーム 2 / 2「姿勢 2」"}));
        QCOMPARE(hex(mFake->written().left(head.size())), hex(head));
        QCOMPARE(listed(1, SequencePanel::MarkColumn), QString());
        QCOMPARE(p->resultLabel()->text(), QStringLiteral("再生が終わりました（2 フレーム）。"));

        // F5 plays it again; frame 2 travels back from 200 on the stopped clock and Escape
        // stops it there: nothing more goes out. (Where in a frame a stop may fall, and the
        // bytes up to it, are the sequence player's tests'.)
        con()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(con()));
        mFake->clearWritten();
        QTest::keyClick(p->frameList(), Qt::Key_F5);
        QTRY_VERIFY_WITH_TIMEOUT(mFake->written().size() >= head.size() + 6, kWaitMs);
        QVERIFY(p->isPlaying());
        QTest::keyClick(p->frameList(), Qt::Key_Escape);
        waitIdle();
        const QByteArray wire = mFake->written();
        mNow += QmcModel::travelMs(140, 5);
        QTest::qWait(100);
        QCOMPARE(hex(mFake->written()), hex(wire));
        QCOMPARE(p->resultLabel()->text(),
                 QStringLiteral("停止しました（フレーム 2「姿勢 2」で）。"));
        QCOMPARE(listed(1, SequencePanel::MarkColumn), QString());
        QVERIFY(p->playButton()->isEnabled() && !p->stopButton()->isEnabled());
    }

    void savingWritesTheSequenceFileAndChangesAreAskedAbout()
    {
        open();
        SequencePanel* p = teachTwoFrames(3);
        QTest::keyClicks(p->nameEdit(), QStringLiteral("arm"));
        p->frameNameEdit()->setFocus();
        p->frameNameEdit()->selectAll();
        QTest::keyClicks(p->frameNameEdit(), QStringLiteral("down"));
        p->holdBox()->setValue(250);
        p->waitBox()->setCurrentIndex(1);
        p->waitMsBox()->setValue(40);
        QVERIFY(p->isModified());
        const QString path = file(QStringLiteral("arm.json"));
        ModalAnswers answers;
        answers.choose(path);
        p->saveButton()->click(); // never saved: asks where
        QCOMPARE(answers.seen, QStringList{"QFileDialog"});
        QCOMPARE(p->sequence().name, QStringLiteral("arm"));
        QCOMPARE(p->sequence().frames.value(1).name, QStringLiteral("down"));
        QCOMPARE(p->sequence().frames.value(1).holdMs, 250);
        QCOMPARE(p->sequence().frames.value(1).wait, Frame::Wait::Fixed);
        QCOMPARE(p->sequence().frames.value(1).waitMs, 40);
        QCOMPARE(contents(path), sequencefile::write(p->sequence()));
        QCOMPARE(p->fileLabel()->text(), QStringLiteral("ファイル: arm.json"));

        // A change, then New: the question; saved there into its file, without asking where.
        p->selectFrame(0);
        QCOMPARE(p->frameNameEdit()->text(), QStringLiteral("姿勢 1")); // its fields shown
        p->removeButton()->click();
        QCOMPARE(p->fileLabel()->text(), QStringLiteral("ファイル: arm.json（変更あり）"));
        answers.press(QStringLiteral("保存"));
        const Sequence kept = p->sequence();
        p->newButton()->click();
        QCOMPARE(
            answers.seen.last(),
            QStringLiteral("QMessageBox|シーケンス|シーケンス「arm」の変更は保存されていません。"
                           "|保存しますか？"));
        QVERIFY(answers.done());
        QCOMPARE(contents(path), sequencefile::write(kept));
        QCOMPARE(p->sequence(), Sequence());
        QVERIFY(!p->isModified());

        // Opened again: the file's sequence, named and listed.
        answers.choose(path);
        p->openButton()->click();
        QCOMPARE(p->sequence(), kept);
        QCOMPARE(p->nameEdit()->text(), QStringLiteral("arm"));
        QCOMPARE(listed(0, SequencePanel::NameColumn), QStringLiteral("down"));
        QCOMPARE(written(), QString()); // files send nothing
    }

    void aDamagedSequenceFileIsRefusedWithItsLine()
    {
        open();
        SequencePanel* p = teachTwoFrames(0);
        const Sequence taught = p->sequence();
        // The same sequence in a file of a version this program does not read.
        QByteArray damaged = sequencefile::write(taught);
        damaged.replace("\"version\": 1", "\"version\": 2");
        sequencefile::Error expected;
        QVERIFY(!sequencefile::read(damaged, &expected));
        QVERIFY(expected.line > 1);
        const QString path = file(QStringLiteral("damaged.json"));
        writeFile(path, damaged);
        ModalAnswers answers;
        answers.press(QStringLiteral("保存しない")); // the taught frames
        answers.choose(path);
        answers.press(QStringLiteral("OK"));
        p->openButton()->click();
        const QString where =
            QStringLiteral("%1 行目に問題があります: %2").arg(expected.line).arg(expected.reason);
        QCOMPARE(answers.seen.mid(1),
                 (QStringList{"QFileDialog", "QMessageBox|シーケンスを開く|このファイルは"
                                             "シーケンスとして読めません。|" +
                                                 where}));
        QCOMPARE(mBeeps, 2); // the question, then the alert
        QCOMPARE(p->resultLabel()->text(),
                 QStringLiteral("%1 は読み込みませんでした。%2").arg(path, where));
        // Nothing of it is used, and nothing is sent.
        QCOMPARE(p->sequence(), taught);
        QCOMPARE(p->path(), QString());
        waitIdle();
        QCOMPARE(written(), QString());
    }

    // --- Memory -----------------------------------------------------------------------

    void memoryReadShowsHex_data()
    {
        QTest::addColumn<MemoryRead>("m");
        // The external ROM is read in the progress test.
        const MemoryRead rows[] = {
            {.name = "static RAM 0140, 20 bytes",
             .memory = 0,
             .address = "140",
             .length = 20,
             .wire = ReadWire(0xF7, 0x140, 20),
             .firstLine =
                 "0140  41 42 43 00 00 00 00 00  00 00 00 00 00 00 00 00  |ABC.............|",
             .result = "スタティックRAM 0140 から 20 バイトを読み込みました。",
             .saved = "ABC" + QByteArray(17, '\0')},
            {.name = "internal ROM FFFE to the end",
             .memory = 1,
             .address = "fffe",
             .length = 2,
             .wire = ReadWire(0xB3, 0xFFFE, 2),
             .firstLine = "FFFE  7E 7F" + QString(45, ' ') + "|~.|",
             .result = "内部ROM FFFE から 2 バイトを読み込みました。",
             .saved = H("7E7F")},
            {.name = "past FFFF: refused",
             .memory = 0,
             .address = "FFF0",
             .length = 17,
             .firstLine = "",
             .result = "範囲がアドレス空間（0000〜FFFF）を越えています。"},
        };
        for (const MemoryRead& m : rows)
            QTest::newRow(m.name) << m;
    }
    void memoryReadShowsHex()
    {
        QFETCH(MemoryRead, m);
        mModel->setSram(0x140, 'A');
        mModel->setSram(0x141, 'B');
        mModel->setSram(0x142, 'C');
        mModel->setIntRom(0xFFFE, 0x7E);
        mModel->setIntRom(0xFFFF, 0x7F);
        open();
        MemoryPanel* p = con()->memoryPanel();
        con()->tabs()->setCurrentWidget(p);
        p->memoryBox()->setCurrentIndex(m.memory);
        p->addressEdit()->setText(QLatin1String(m.address));
        p->lengthBox()->setValue(m.length);
        p->readButton()->click();
        waitIdle();
        QCOMPARE(written(), hex(m.wire));
        QCOMPARE(p->view()->toPlainText().split('\n').first(), m.firstLine);
        QCOMPARE(p->resultLabel()->text(), m.result);
        QCOMPARE(p->saveButton()->isEnabled(), !m.wire.isEmpty());
        if (m.wire.isEmpty())
            return;

        // Saved as read; into a folder that is not there, refused with the system's reason.
        ModalAnswers answers;
        const QString path = file(QStringLiteral("%1.bin").arg(QLatin1String(m.address)));
        answers.choose(path);
        p->save();
        QCOMPARE(answers.seen, QStringList{"QFileDialog"});
        QCOMPARE(contents(path), m.saved);
        QCOMPARE(p->resultLabel()->text(),
                 QStringLiteral("%1 バイトを %2 に保存しました。").arg(m.length).arg(path));
        QString error;
        QVERIFY(!MemoryPanel::saveFile(file(QStringLiteral("none/memory.bin")), m.saved, &error));
        QCOMPARE(error, qt_error_string(ENOENT));
    }

    void memoryReadProgressAndCancel()
    {
        open();
        MemoryPanel* p = con()->memoryPanel();
        con()->tabs()->setCurrentWidget(p);
        p->memoryBox()->setCurrentIndex(2);
        p->addressEdit()->setText(QStringLiteral("0"));
        p->lengthBox()->setValue(200);
        QVERIFY(!p->progress()->isVisible()); // idle: no bar
        QList<qint64> done;
        QString timeLeft;
        connect(
            gTw->scheduler(), &BoardScheduler::jobProgress, this,
            [&](BoardJob* job) {
                done << job->done();
                QVERIFY(p->progress()->isVisible());
                timeLeft = p->progress()->timeLeft()->text();
                if (job->done() == 128)
                    p->progress()->cancelButton()->click();
            },
            Qt::DirectConnection);
        p->readButton()->click();
        waitIdle();
        disconnect(gTw->scheduler(), &BoardScheduler::jobProgress, this, nullptr);
        QCOMPARE(done, (QList<qint64>{64, 128}));
        const QRegularExpression seconds(QStringLiteral("^残り約 \\d+ 秒$"));
        QVERIFY2(seconds.match(timeLeft).hasMatch(), qPrintable(timeLeft));
        // A job of a minute or more: the seconds in two digits.
        QCOMPARE(JobProgress::timeLeftText(185'000), QStringLiteral("残り約 3 分 05 秒"));
        QCOMPARE(JobProgress::timeLeftText(60'000), QStringLiteral("残り約 1 分 00 秒"));
        QCOMPARE(written(), hex(ReadWire(0xF2, 0, 128)));
        QCOMPARE(p->resultLabel()->text(),
                 QStringLiteral("外部ROM 0000 からの読込みを中止しました（128 / 200 バイト）。"));
        QVERIFY(!p->progress()->isVisible());
    }

    // --- Program ----------------------------------------------------------------------

    void backupAsksSavesAndIsComparedWith()
    {
        open();
        ProgramPanel* p = con()->programPanel();
        con()->tabs()->setCurrentWidget(p);
        const QString path = file(QStringLiteral("backup.bin"));
        ModalAnswers answers;
        answers.press(QStringLiteral("開始"));
        answers.choose(path);
        p->backup();
        QCOMPARE(
            answers.seen,
            (QStringList{"QMessageBox|プログラムの読込み|"
                         "コントローラーに転送されているプログラムをコンピュータに読込みます。|"
                         "読込みには、少々時間がかかります。宜しいですか？",
                         "QFileDialog"}));
        QCOMPARE(mBeeps, 1); // before the question
        waitIdle();
        QCOMPARE(written(), hex(ReadWire(0xF2, 0x0E, 2) + ReadWire(0xF2, 0, 51)));
        QCOMPARE(contents(path), QmcModel::demoProgram());
        QCOMPARE(p->resultLabel()->text(),
                 QStringLiteral("プログラム（51 バイト）を %1 に保存しました。").arg(path));

        // The board compared with that file: the same. Then one byte differs on the board (the
        // demo program's name, DEMO-01, has its 1 (31) at 000A), and nothing is written.
        mFake->clearWritten();
        answers.choose(path);
        p->verify();
        waitIdle();
        QCOMPARE(written(), hex(ReadWire(0xF2, 0, 51)));
        QCOMPARE(
            p->resultLabel()->text(),
            QStringLiteral("コントローラーのプログラムは %1 と同じです（51 バイト）。").arg(path));
        mModel->setExtRom(0x0A, 0x99);
        answers.choose(path);
        p->verify();
        waitIdle();
        QCOMPARE(p->resultLabel()->text(),
                 QStringLiteral("外部ROM 000A で違います: ファイルは 31、コントローラーは 99。"));
        QCOMPARE(mModel->extRom(0x0A), 0x99);

        // Cancelled at the question: nothing goes out and no file is made.
        mFake->clearWritten();
        answers.press(QStringLiteral("キャンセル"));
        p->backup();
        QVERIFY(answers.done());
        waitIdle();
        QCOMPARE(written(), QString());

        // A board whose external ROM is erased: its size is read, nothing more, and no file made.
        QVERIFY(mModel->loadProgram(QByteArray(16, '\xFF')));
        const QString erased = file(QStringLiteral("erased.bin"));
        answers.press(QStringLiteral("開始"));
        answers.choose(erased);
        p->backup();
        waitIdle();
        QCOMPARE(written(), hex(ReadWire(0xF2, 0x0E, 2)));
        QCOMPARE(p->resultLabel()->text(),
                 QStringLiteral("読込みませんでした: 外部ROMは消去された状態です（サイズ FFFF）。"
                                "プログラムはありません。"));
        QVERIFY(!QFile::exists(erased));
    }

    void restoreRefusesADamagedFile()
    {
        // A program cut short: its header says 40 bytes. Other damage is told in the same alert,
        // each kind in its own words.
        open();
        QByteArray damaged = Program(40, '\x22');
        damaged.chop(1);
        const QString path = file(QStringLiteral("damaged.bin"));
        writeFile(path, damaged);
        ModalAnswers answers;
        answers.choose(path);
        answers.press(QStringLiteral("OK"));
        con()->programPanel()->restore();
        const QString explanation = QStringLiteral(
            "ヘッダーのサイズ（40 バイト）とファイルの長さ（39 バイト）が一致しません。");
        QCOMPARE(answers.seen,
                 (QStringList{"QFileDialog", "QMessageBox|プログラムの書込み|"
                                             "このファイルはプログラムではありません。|" +
                                                 explanation}));
        waitIdle();
        QCOMPARE(written(), QString()); // nothing sent
        QCOMPARE(con()->programPanel()->resultLabel()->text(),
                 QStringLiteral("%1 は書き込みませんでした: %2").arg(path, explanation));
        QVERIFY(backups().isEmpty());
    }

    void restoreBacksUpWritesAndVerifies_data()
    {
        QTest::addColumn<Restore>("r");
        const Restore rows[] = {
            {.name = "written and verified",
             .result = "書込みと照合が終わりました（200 バイト）。"},
            {.name = "the board differs at 0020 after the write",
             .poke = 0x20,
             .result = "照合で違いが見つかりました: 外部ROM 0020 に 11 を書きましたが、AA "
                       "が読み出されました。"},
            {.name = "cancelled after 64 bytes",
             .cancelAt = 64,
             .result = "書込みを中止しました。コントローラーには新しいプログラムの一部"
                       "（先頭 64 / 200 バイト）だけが書き込まれています。"},
        };
        for (const Restore& r : rows)
            QTest::newRow(r.name) << r;
    }
    void restoreBacksUpWritesAndVerifies()
    {
        QFETCH(Restore, r);
        open();
        ProgramPanel* p = con()->programPanel();
        con()->tabs()->setCurrentWidget(p);
        const QString path = file(QStringLiteral("new.bin"));
        writeFile(path, Program(200, '\x11'));
        // When the first byte of the image is about to go out, the backup is on disk and the
        // board still holds its own program.
        QByteArray backupAtFirstWrite;
        bool boardUntouched = false;
        connect(
            gTw->scheduler(), &BoardScheduler::jobProgress, this,
            [&](BoardJob* job) {
                const auto* restore = dynamic_cast<ProgramRestoreJob*>(job);
                if (!restore)
                    return;
                if (restore->phase() == ProgramRestoreJob::Phase::Writing &&
                    restore->written() == 0) {
                    backupAtFirstWrite = contents(restore->backupPath());
                    boardUntouched = mModel->extRom(0x20) == quint8(QmcModel::demoProgram()[0x20]);
                }
                if (restore->phase() == ProgramRestoreJob::Phase::Writing &&
                    restore->written() == r.cancelAt)
                    p->progress()->cancelButton()->click();
                if (restore->phase() == ProgramRestoreJob::Phase::Verifying && r.poke >= 0)
                    mModel->setExtRom(r.poke, 0xAA);
            },
            Qt::DirectConnection);
        ModalAnswers answers;
        answers.choose(path);
        answers.press(QStringLiteral("書込み"));
        p->restore();
        QCOMPARE(
            answers.seen.value(1),
            QStringLiteral("QMessageBox|プログラムの書込み|ファイルのプログラム（200 バイト）を"
                           "コントローラーに書き込みます。|コントローラーのプログラムは、書込みの"
                           "前にコンピュータにバックアップされます。宜しいですか？"));
        waitIdle();
        disconnect(gTw->scheduler(), &BoardScheduler::jobProgress, this, nullptr);
        QCOMPARE(backupAtFirstWrite, QmcModel::demoProgram());
        QVERIFY(boardUntouched);
        const QStringList saved = backups();
        QCOMPARE(saved.size(), 1);
        const QString backup = QDir(ProgramBackupFolder()).filePath(saved.first());
        QCOMPARE(p->resultLabel()->text(),
                 r.result + QStringLiteral("元のプログラムのバックアップ: %1").arg(backup));
        // The new program's header, and its bytes up to where the writing stopped.
        QCOMPARE(mModel->programSize(), 200);
        const int written = r.cancelAt < 0 ? 200 : r.cancelAt;
        QCOMPARE(mModel->extRom(written - 1), 0x11);
        QCOMPARE(mModel->extRom(written), 0x00);
    }

    // --- Traffic ----------------------------------------------------------------------

    void trafficLogFollowsThePane()
    {
        open();
        TrafficPanel* t = con()->trafficPanel();
        QVERIFY(!gTw->link()->mLogTraffic);
        con()->tabs()->setCurrentWidget(t);
        QVERIFY(gTw->link()->mLogTraffic);
        servos()->speedBox()->setValue(3);
        servos()->speedButton()->click();
        waitIdle();
        t->flush();
        QCOMPARE(t->view()->toPlainText(), QStringLiteral("W: B2\nR: B2\nW: 03\nR: 03"));
        // Only the last lines are kept.
        for (int i = 0; i < TrafficPanel::cMaxLines + 100; ++i)
            gTw->link()->SetLog(QStringLiteral("line %1").arg(i));
        t->flush();
        QCOMPARE(t->view()->blockCount(), TrafficPanel::cMaxLines);
        QVERIFY(t->view()->toPlainText().endsWith(
            QStringLiteral("line %1").arg(TrafficPanel::cMaxLines + 99)));
        t->clearButton()->click();
        QCOMPARE(t->view()->toPlainText(), QString());
        // Another pane: the link stops logging.
        con()->tabs()->setCurrentWidget(servos());
        QVERIFY(!gTw->link()->mLogTraffic);
    }

    // --- Keyboard -----------------------------------------------------------------------

    void tabReachesTheServoControlsInOrder()
    {
        open();
        con()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(con()));
        servos()->pauseButton()->setFocus(Qt::TabFocusReason);
        QStringList order;
        for (int i = 0; i < 14; ++i) {
            QWidget* w = QApplication::focusWidget();
            order << (w->accessibleName().isEmpty() ? w->objectName() : w->accessibleName());
            QTest::keyClick(w, Qt::Key_Tab);
        }
        QCOMPARE(order, (QStringList{"PausePB", "AllOnPB", "AllOffPB", "速度", "SpeedPB", "速度値",
                                     "SpeedValuePB", "PtpCB", "サーボ 1 の位置",
                                     "サーボ 1 の位置（数値）", "サーボ 1 オン", "サーボ 2 の位置",
                                     "サーボ 2 の位置（数値）", "サーボ 2 オン"}));
        // The keyboard moves a focused slider, and the move goes out.
        servos()->slider(4)->setFocus();
        QTest::keyClick(servos()->slider(4), Qt::Key_PageUp);
        waitIdle();
        QCOMPARE(written(), QStringLiteral("E6 04 10"));
    }
};

QTEST_MAIN(TestConsoleWindow)
#include "tst_ConsoleWindow.moc"
