// The remote as drawn, pixel for pixel, against reference pictures at the two scales the window
// uses: the body, its rules and panels, and every key's face, label and place under its hotspot.
// After a deliberate change to the drawing, VANTOR_UPDATE_PICTURES=1 writes new references.
#include "remote/RemoteArtwork.h"

#include <QFontInfo>
#include <QGuiApplication>
#include <QtTest>

class TestRemoteArtwork : public QObject
{
    Q_OBJECT
private slots:
    void matchesTheReference_data()
    {
        QTest::addColumn<qreal>("scale");
        QTest::newRow("standard screen") << 1.0;
        QTest::newRow("high-density screen") << 2.0;
    }
    void matchesTheReference()
    {
        QFETCH(qreal, scale);
        // The labels' glyphs come from the system's fonts; the references hold DejaVu Sans's.
        QFont dejaVu(QStringLiteral("DejaVu Sans"));
        if (QFontInfo(dejaVu).family() != QStringLiteral("DejaVu Sans"))
            QSKIP("the references are drawn with DejaVu Sans, which is not installed");

        const QImage drawn = RemoteArtwork::IRRemocon400p(scale).convertToFormat(QImage::Format_RGB32);
        QCOMPARE(drawn.size(), QSize(qRound(RemoteArtwork::cWidth * scale),
                                     qRound(RemoteArtwork::cHeight * scale)));
        const QString reference =
            QStringLiteral(REFERENCE_DIR "/remote-artwork@%1x.png").arg(int(scale));
        if (qEnvironmentVariableIntValue("VANTOR_UPDATE_PICTURES") == 1)
            QVERIFY(drawn.save(reference));
        const QImage expected(reference);
        QVERIFY2(!expected.isNull(), qPrintable(reference));
        const QImage want = expected.convertToFormat(QImage::Format_RGB32);
        // Name the first pixel that differs, so a failure says where to look.
        for (int y = 0; y < drawn.height(); ++y)
            for (int x = 0; x < drawn.width(); ++x)
                if (drawn.pixel(x, y) != want.pixel(x, y))
                    QFAIL(qPrintable(QStringLiteral("pixel (%1, %2) is %3, the reference has %4")
                                         .arg(x)
                                         .arg(y)
                                         .arg(QColor(drawn.pixel(x, y)).name(),
                                              QColor(want.pixel(x, y)).name())));
    }
};

QTEST_MAIN(TestRemoteArtwork)
#include "tst_RemoteArtwork.moc"
