// The light panel: its frames (commands built, reports parsed, hostile reports
// refused), and the controller against an emulated BlueZ and panel on a
// private system bus (tests/fixtures/dbusmock/light_panel.py).
#include "LightFrames.h"

#include <QTest>

#include <random>

using namespace lightframes;

class LightTest : public QObject
{
    Q_OBJECT

private slots:
    void commandsAreClampedFrames_data()
    {
        QTest::addColumn<bool>("brightness");
        QTest::addColumn<long>("value");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("6500 K") << false << 6500L << QByteArray::fromHex("aa5510 00 55aa");
        QTest::newRow("3250 K") << false << 3250L << QByteArray::fromHex("aa5510 32 55aa");
        QTest::newRow("0 K") << false << 0L << QByteArray::fromHex("aa5510 64 55aa");
        QTest::newRow("above 6500 K") << false << 9000L << QByteArray::fromHex("aa5510 00 55aa");
        QTest::newRow("below 0 K") << false << -5L << QByteArray::fromHex("aa5510 64 55aa");
        QTest::newRow("brightness 75") << true << 75L << QByteArray::fromHex("aa5520 4b 55aa");
        QTest::newRow("brightness 256") << true << 256L << QByteArray::fromHex("aa5520 64 55aa");
        QTest::newRow("brightness -1") << true << -1L << QByteArray::fromHex("aa5520 00 55aa");
    }

    void commandsAreClampedFrames()
    {
        QFETCH(bool, brightness);
        QFETCH(long, value);
        QFETCH(QByteArray, frame);
        QCOMPARE(brightness ? brightnessCommand(clampBrightness(value)) : temperatureCommand(clampKelvin(value)),
                 frame);
    }

    void onlyWellFormedReportsAreRead()
    {
        // The panel's own report: raw temperature 0x32, brightness 0x4b.
        const auto ok = parseNotification(QByteArray::fromHex("aa55324b55aa"));
        QVERIFY(ok);
        QCOMPARE(ok->brightness, 75);
        QCOMPARE(ok->kelvin, 3250);
        // Every value pair with right markers: read exactly when both lie in
        // 0..100, and then the temperature is within the panel's range.
        for (int raw = 0; raw < 256; ++raw)
            for (int level = 0; level < 256; ++level) {
                QByteArray frame = QByteArray::fromHex("aa5500 0055aa");
                frame[2] = char(raw);
                frame[3] = char(level);
                const auto got = parseNotification(frame);
                QCOMPARE(bool(got), raw <= 100 && level <= 100);
                if (got)
                    QVERIFY(got->brightness == level && got->kelvin >= 0 && got->kelvin <= 6500);
            }
        // Random bytes of every length up to 32, and six-byte frames with one
        // marker broken: read only when well formed.
        std::mt19937 random(7);
        const int markers[] = {0, 1, 4, 5};
        for (int length = 0; length <= 32; ++length)
            for (int n = 0; n < 20000; ++n) {
                QByteArray frame(length, Qt::Uninitialized);
                for (char& c : frame)
                    c = char(random());
                if (length == 6 && n % 2) {
                    frame[0] = char(0xAA), frame[1] = 0x55, frame[4] = 0x55, frame[5] = char(0xAA);
                    frame[markers[random() % 4]] ^= char(1 + random() % 255);
                }
                const bool wellFormed = length == 6 && quint8(frame[0]) == 0xAA && quint8(frame[1]) == 0x55
                                     && quint8(frame[4]) == 0x55 && quint8(frame[5]) == 0xAA && quint8(frame[2]) <= 100
                                     && quint8(frame[3]) <= 100;
                QCOMPARE(bool(parseNotification(frame)), wellFormed);
            }
    }
};

QTEST_GUILESS_MAIN(LightTest)
#include "tst_light.moc"
