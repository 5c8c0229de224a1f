#include "remote/IRRemModule.h"
#include "remote/RemoteArtwork.h"

#include <QGuiApplication>
#include <QTest>

// A key must be drawn under every hotspot, ending where it ends, or clicks
// would land beside what the user aims at.
class TestRemoteArtwork : public QObject
{
    Q_OBJECT
private slots:
    void everyHotspotOnItsKey_data()
    {
        QTest::addColumn<qreal>("scale");
        QTest::newRow("1x") << 1.0;
        QTest::newRow("2x") << 2.0;
    }
    void everyHotspotOnItsKey()
    {
        QFETCH(qreal, scale);
        const QImage image = RemoteArtwork::IRRemocon400p(scale);
        QCOMPARE(image.size(), QSize(qRound(133 * scale), qRound(398 * scale)));
        QCOMPARE(image.deviceIndependentSize(), QSizeF(133, 398));
        const QRgb body = RemoteArtwork::bodyColor().rgb();
        auto at = [&](int x, int y) { return image.pixel(int(x * scale), int(y * scale)); };
        for (int index = 1; index <= 32; ++index) {
            const QRect r = IRRCnvGeometry()[index];
            const QRgb key = RemoteArtwork::keyColor(index).rgb();
            const QRgb ink = RemoteArtwork::labelColor(index).rgb();
            QVERIFY(key != body);
            // Much of the hotspot is key face; the key carries a label in its ink.
            int face = 0, inked = 0;
            for (int y = int(r.top() * scale); y < int((r.bottom() + 1) * scale); ++y)
                for (int x = int(r.left() * scale); x < int((r.right() + 1) * scale); ++x) {
                    face += image.pixel(x, y) == key;
                    inked += image.pixel(x, y) == ink;
                }
            const QByteArray what =
                QString::asprintf("key %d: %d face, %d ink", index, face, inked).toLatin1();
            QVERIFY2(face * 5 > r.width() * r.height() * scale * scale * 2, what.constData());
            QVERIFY2(inked >= 2 * scale * scale, what.constData());
            // Just inside each edge's middle is key face, just outside is the body.
            const QPoint c = r.center();
            for (QPoint in : {QPoint(r.left() + 1, c.y() + 1), QPoint(r.right() - 1, c.y() + 1),
                              QPoint(c.x() - 2, r.top() + 1), QPoint(c.x() - 2, r.bottom() - 1)})
                QVERIFY2(at(in.x(), in.y()) == key, what.constData());
            for (QPoint out : {QPoint(r.left() - 1, c.y()), QPoint(r.right() + 1, c.y()),
                               QPoint(c.x(), r.top() - 1), QPoint(c.x(), r.bottom() + 1)})
                QVERIFY2(at(out.x(), out.y()) == body, what.constData());
        }
    }
};

QTEST_MAIN(TestRemoteArtwork)
#include "tst_remoteartwork.moc"
