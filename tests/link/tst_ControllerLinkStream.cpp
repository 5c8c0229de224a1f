// A byte stream through the link against a scripted fake port: the backup
// poll that finds replies arriving without a notification, and the count text
// redone for every reply.
#include "LinkTestSupport.h"

#include "FakeSerial.h"
#include "link/ControllerLink.h"
#include "settings/PreferClass.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

QByteArray Hex(const char* hex)
{
    return QByteArray::fromHex(hex);
}

// Lets the replies already on their way arrive (the fake answers through
// zero-timers) and deferred deletions run, without waiting on the clock.
void SettleEvents()
{
    for (int i = 0; i < 50; ++i)
        QCoreApplication::processEvents();
}

} // namespace

class TestControllerLinkStream : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void emptyNotificationKeepsBackupPoll_data();
    void emptyNotificationKeepsBackupPoll();
    void countTextEveryReply_data();
    void countTextEveryReply();

private:
    std::unique_ptr<QTemporaryDir> mDir;
    std::unique_ptr<FakeSerialDevice> mDev;
    std::unique_ptr<PreferClass> mPref;
    std::unique_ptr<RecordingView> mView;
    std::unique_ptr<ControllerLink> mLink;
};

void TestControllerLinkStream::init()
{
    mDir = std::make_unique<QTemporaryDir>();
    QVERIFY(mDir->isValid());
    mDev = std::make_unique<FakeSerialDevice>();
    const SerialPortEntry entry = mDev->entry(QStringLiteral("COM1"));
    SerialPorts::setOverride({entry});
    mPref = std::make_unique<PreferClass>(QStringLiteral("VantorController IR"), mDir->path());
    mPref->mPortInfo = SerialPortInfo(entry);
    mPref->mNotAutoDisconnect = true;
    mView = std::make_unique<RecordingView>();
    mLink = std::make_unique<ControllerLink>(mPref.get(), mView.get());
}

void TestControllerLinkStream::cleanup()
{
    mLink.reset();
    mView.reset();
    mPref.reset();
    SettleEvents(); // backends closed by the link are deleted later
    mDev.reset();
    mDir.reset();
    SerialPorts::clearOverride();
}

void TestControllerLinkStream::emptyNotificationKeepsBackupPoll_data()
{
    // The port may signal data and then have nothing to read (a reply
    // already taken by an earlier read). The stream must still find the
    // reply that then arrives silently, through its 10 ms poll.
    QTest::addColumn<int>("repliesBefore"); // answered normally first
    QTest::newRow("before the first reply") << 0;
    QTest::newRow("after one reply") << 1;
    QTest::newRow("before the last reply") << 2;
}

void TestControllerLinkStream::emptyNotificationKeepsBackupPoll()
{
    QFETCH(int, repliesBefore);
    const QByteArray stream = Hex("414243");

    mLink->Cmd_Excute(stream, false);
    QCOMPARE(mDev->written(), Hex("41"));
    for (int i = 0; i < repliesBefore; ++i)
        mDev->feed(QByteArray(1, char(0x10 + i)));
    QCOMPARE(mDev->written(), stream.left(repliesBefore + 1));

    mDev->feed(QByteArray()); // notified, nothing to read
    QCOMPARE(mDev->written(), stream.left(repliesBefore + 1));
    QVERIFY(mLink->SerialBackUpTimer.isActive());

    mDev->feedSilently(QByteArray(1, char(0x10 + repliesBefore)));
    if (repliesBefore + 1 < stream.size()) {
        QTRY_COMPARE_WITH_TIMEOUT(mDev->written(), stream.left(repliesBefore + 2), 5000);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
    }
    // The rest of the replies as usual.
    for (int i = repliesBefore + 1; i < stream.size(); ++i)
        mDev->feed(QByteArray(1, char(0x10 + i)));

    QVERIFY(mLink->mMcpFinish);
    QCOMPARE(mDev->written(), stream);
    QCOMPARE(mLink->mReadData, Hex("101112"));
    // The poll ends with the stream.
    QVERIFY(!mLink->SerialBackUpTimer.isActive());
}

void TestControllerLinkStream::countTextEveryReply_data()
{
    // A stream of n bytes counts its replies against n - 2; the last reply
    // ends the stream and clears the display instead of counting.
    QTest::addColumn<int>("length");
    QTest::addColumn<QStringList>("texts"); // the count after each counted reply
    QTest::newRow("3 bytes") << 3 << QStringList{QStringLiteral("1/1"), QStringLiteral("2/1")};
    QTest::newRow("12 bytes") << 12 << QStringList{QStringLiteral("1/10"), QStringLiteral("2/10"),
                                                   QStringLiteral("3/10"), QStringLiteral("4/10"),
                                                   QStringLiteral("5/10"), QStringLiteral("6/10"),
                                                   QStringLiteral("7/10"), QStringLiteral("8/10"),
                                                   QStringLiteral("9/10"), QStringLiteral("10/10"),
                                                   QStringLiteral("11/10")};
    // Two bytes count against 0: no count text at all.
    QTest::newRow("2 bytes") << 2 << QStringList{QString()};
}

void TestControllerLinkStream::countTextEveryReply()
{
    QFETCH(int, length);
    QFETCH(QStringList, texts);

    QByteArray stream;
    for (int i = 0; i < length; ++i)
        stream.append(char(0x01 + i));
    mDev->setEcho();
    mLink->Cmd_Excute(stream, false);
    const qsizetype pushesBefore = mView->countTexts.size();
    QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
    QCOMPARE(mLink->mReadData, stream);

    QStringList shown;
    for (qsizetype i = pushesBefore; i < mView->countTexts.size(); ++i) {
        if (mView->progress.at(i).Value > 0)
            shown.append(mView->countTexts.at(i).Text);
    }
    QCOMPARE(shown, texts);
}

QTEST_GUILESS_MAIN(TestControllerLinkStream)
#include "tst_ControllerLinkStream.moc"
