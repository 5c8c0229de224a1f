// The program's drawn pictures, pixel for pixel, against reference pictures at the two scales the
// windows use: the remote (its body, rules and panels, and every key's face, label and place under
// its hotspot), and the About window's icon and name plate. After a deliberate change to a
// drawing, VANTOR_UPDATE_PICTURES=1 writes new references.
#include "about/Artwork.h"
#include "remote/RemoteArtwork.h"

#include <QFontInfo>
#include <QGuiApplication>
#include <QtTest>

#include <functional>

using Draw = std::function<QImage(qreal)>;
Q_DECLARE_METATYPE(Draw)

class TestArtwork : public QObject
{
    Q_OBJECT
private slots:
    void matchesTheReference_data()
    {
        QTest::addColumn<QString>("picture");
        QTest::addColumn<Draw>("draw");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<qreal>("scale");
        const auto add = [](const char* picture, const Draw& draw, QSize size) {
            for (const qreal scale : {1.0, 2.0})
                QTest::newRow(qPrintable(QStringLiteral("%1@%2x").arg(picture).arg(scale)))
                    << QString::fromLatin1(picture) << draw << size << scale;
        };
        add("remote", RemoteArtwork::IRRemocon400p,
            QSize(RemoteArtwork::cWidth, RemoteArtwork::cHeight));
        add(
            "icon", [](qreal scale) { return Artwork::icon01_48(scale).toImage(); }, QSize(48, 48));
        add(
            "name-plate", [](qreal scale) { return Artwork::Logo(scale).toImage(); },
            QSize(240, 40));
    }
    void matchesTheReference()
    {
        QFETCH(QString, picture);
        QFETCH(Draw, draw);
        QFETCH(QSize, size);
        QFETCH(qreal, scale);
        // Labels' glyphs come from the system's fonts; the references hold DejaVu Sans's.
        QFont dejaVu(QStringLiteral("DejaVu Sans"));
        if (QFontInfo(dejaVu).family() != QStringLiteral("DejaVu Sans"))
            QSKIP("the references are drawn with DejaVu Sans, which is not installed");

        const QImage drawn = draw(scale).convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(drawn.size(), size * scale);
        const QString reference =
            QStringLiteral(REFERENCE_DIR "/%1@%2x.png").arg(picture).arg(int(scale));
        if (qEnvironmentVariableIntValue("VANTOR_UPDATE_PICTURES") == 1)
            QVERIFY(drawn.save(reference));
        const QImage expected(reference);
        QVERIFY2(!expected.isNull(), qPrintable(reference));
        const QImage want = expected.convertToFormat(QImage::Format_ARGB32);
        // Name the first pixel that differs, so a failure says where to look.
        for (int y = 0; y < drawn.height(); ++y)
            for (int x = 0; x < drawn.width(); ++x)
                if (drawn.pixel(x, y) != want.pixel(x, y))
                    QFAIL(qPrintable(
                        QStringLiteral("pixel (%1, %2) is %3, the reference has %4")
                            .arg(x)
                            .arg(y)
                            .arg(QColor::fromRgba(drawn.pixel(x, y)).name(QColor::HexArgb),
                                 QColor::fromRgba(want.pixel(x, y)).name(QColor::HexArgb))));
    }
};

QTEST_MAIN(TestArtwork)
#include "tst_Artwork.moc"
