#include "remote/IRRemModule.h"
#include "remote/RemoteArtwork.h"

#include <QGuiApplication>
#include <QTest>

// The backdrop must carry a key under every hotspot, and the face between
// keys must differ from the keys, or clicks would land beside what the user
// aims at.
class TestRemoteArtwork : public QObject
{
    Q_OBJECT
private slots:
    void size_data();
    void size();
    void everyHotspotOnItsKey_data();
    void everyHotspotOnItsKey();
    void keysAreLabelled();
};

void TestRemoteArtwork::size_data()
{
    QTest::addColumn<qreal>("scale");
    QTest::newRow("1x") << 1.0;
    QTest::newRow("2x") << 2.0;
}

void TestRemoteArtwork::size()
{
    QFETCH(qreal, scale);
    const QImage image = RemoteArtwork::IRRemocon400p(scale);
    QCOMPARE(image.size(), QSize(qRound(133 * scale), qRound(398 * scale)));
    QCOMPARE(image.deviceIndependentSize(), QSizeF(133, 398));
}

void TestRemoteArtwork::everyHotspotOnItsKey_data()
{
    QTest::addColumn<qreal>("scale");
    QTest::addColumn<int>("index");
    for (qreal scale : {1.0, 2.0})
        for (int index = 1; index <= 32; ++index)
            QTest::addRow("%gx key %d", scale, index) << scale << index;
}

void TestRemoteArtwork::everyHotspotOnItsKey()
{
    QFETCH(qreal, scale);
    QFETCH(int, index);
    const QImage image = RemoteArtwork::IRRemocon400p(scale);
    const QRect hotspot = IRRCnvGeometry()[index];
    const QRgb key = RemoteArtwork::keyColor(index).rgb();
    const QRgb body = RemoteArtwork::bodyColor().rgb();
    QVERIFY(key != body);

    auto at = [&](int x, int y) { return image.pixel(int(x * scale), int(y * scale)); };

    // Much of the hotspot is the key's face (the rest is its label and, for
    // round keys, the corners).
    int face = 0;
    for (int y = hotspot.top(); y <= hotspot.bottom(); ++y)
        for (int x = hotspot.left(); x <= hotspot.right(); ++x)
            face += at(x, y) == key;
    QVERIFY2(face * 5 > hotspot.width() * hotspot.height() * 2,
             qPrintable(QStringLiteral("%1 of %2 pixels are the key face")
                            .arg(face)
                            .arg(hotspot.width() * hotspot.height())));

    // The key ends where the hotspot ends: just inside each edge's middle is
    // key face, just outside it is the remote's body.
    const QPoint c = hotspot.center();
    QCOMPARE(at(hotspot.left() + 1, c.y() + 1), key);
    QCOMPARE(at(hotspot.right() - 1, c.y() + 1), key);
    QCOMPARE(at(c.x() - 2, hotspot.top() + 1), key);
    QCOMPARE(at(c.x() - 2, hotspot.bottom() - 1), key);
    QCOMPARE(at(hotspot.left() - 1, c.y()), body);
    QCOMPARE(at(hotspot.right() + 1, c.y()), body);
    QCOMPARE(at(c.x(), hotspot.top() - 1), body);
    QCOMPARE(at(c.x(), hotspot.bottom() + 1), body);
}

void TestRemoteArtwork::keysAreLabelled()
{
    // Every key carries a label (number, arrow or symbol) in its label ink.
    const QImage image = RemoteArtwork::IRRemocon400p(2.0);
    for (int index = 1; index <= 32; ++index) {
        const QRect hotspot = IRRCnvGeometry()[index];
        const QRect r(hotspot.topLeft() * 2, hotspot.size() * 2);
        const QRgb ink = RemoteArtwork::labelColor(index).rgb();
        int inked = 0;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x)
                inked += image.pixel(x, y) == ink;
        QVERIFY2(inked >= 8,
                 qPrintable(QStringLiteral("key %1 has %2 ink pixels").arg(index).arg(inked)));
    }
}

QTEST_MAIN(TestRemoteArtwork)
#include "tst_remoteartwork.moc"
