// The light panel: its frames (commands built, reports parsed, hostile reports
// refused), and the controller against an emulated BlueZ and panel on a
// private system bus (tests/fixtures/dbusmock/light_panel.py).
#include "BaseSettings.h"
#include "LightController.h"
#include "LightFrames.h"
#include "LogCapture.h"
#include "MockPanel.h"
#include "TestBus.h"

#include <QDBusInterface>
#include <QDBusReply>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <memory>
#include <random>

using namespace lightframes;

namespace {

const QString kName = QStringLiteral("Light_ble");
const QString kService = QStringLiteral("0000f530-1212-efde-1523-785feabcd123");
const QString kDescriptor = QStringLiteral("00002902-0000-1000-8000-00805f9b34fb");
const QString kCharacteristic = QStringLiteral("0000f532-1212-efde-1523-785feabcd123");
// The status tick restarts a search; a reconnection takes at most two.
constexpr int kTwoTicksMs = 10000 + 3000;

QDBusInterface panel()
{
    return mockpanel::control();
}

// The frames written to the panel so far, oldest first.
QList<QByteArray> written()
{
    QList<QByteArray> frames;
    for (const mockpanel::Write& w : mockpanel::writes())
        frames << w.bytes;
    return frames;
}

QVariantMap panelState()
{
    QDBusReply<QVariantMap> reply = panel().call(QStringLiteral("GetState"));
    return reply.value();
}

} // namespace

class LightTest : public QObject
{
    Q_OBJECT
    std::unique_ptr<LogCapture> log;
    std::unique_ptr<TestBus> bus;
    QProcess* bluez = nullptr;
    std::unique_ptr<BaseSettings> settings;
    std::unique_ptr<LightController> light;

    void startLight()
    {
        light = std::make_unique<LightController>(settings.get(), kName, kService, kDescriptor, kCharacteristic);
        light->start();
    }

private slots:
    void initTestCase()
    {
        // After the test library's own handler, which it installs on start.
        log = std::make_unique<LogCapture>();
        bus = std::make_unique<TestBus>(TestBus::System);
        QVERIFY(bus->isReady());
        bus->exportAddress();
        bluez =
            bus->startMock(QStringLiteral(VANTOR_DBUSMOCK_TEMPLATES "/light_panel.py"), QStringLiteral("org.bluez"));
        QVERIFY(bluez);
        settings = std::make_unique<BaseSettings>();
    }

    void cleanupTestCase()
    {
        light.reset();
        bus.reset();
        log.reset();
    }

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

    void connectsSendsAndReadsThePanel()
    {
        // A second panel whose name differs only in case is not ours.
        QVERIFY(panel()
                    .call(QStringLiteral("AddDevice"), QStringLiteral("light_ble"), QStringLiteral("E4:5F:01:A2:3B:99"))
                    .type()
                != QDBusMessage::ErrorMessage);
        startLight();
        QSignalSpy status(light.get(), &LightController::onStatusChanged);
        QSignalSpy brightness(light.get(), &LightController::onBrightness);
        QSignalSpy temperature(light.get(), &LightController::onTemperature);
        QTRY_VERIFY_WITH_TIMEOUT(light->isConnected(), 15000);
        QVERIFY(status.contains({true}));
        QVERIFY(panelState().value(QStringLiteral("connected")).toBool());
        QVERIFY(!LogCapture::logged(QStringLiteral("BLE Device Found \"light_ble\"")));

        panel().call(QStringLiteral("ClearWritten"));
        QVERIFY(light->setBrightness(75, false));
        QVERIFY(light->setTemperature(3250, false));
        QTRY_COMPARE_WITH_TIMEOUT(written().size(), 2, 5000);
        QCOMPARE(written(),
                 (QList<QByteArray> {QByteArray::fromHex("aa55204b55aa"), QByteArray::fromHex("aa55103255aa")}));
        QCOMPARE(light->getBrightness().value, 75);
        QCOMPARE(light->getTemperature().value, 3250);
        // Out of range: clamped before it is sent and stored.
        QVERIFY(light->setBrightness(256, false));
        QTRY_COMPARE_WITH_TIMEOUT(written().size(), 3, 5000);
        QCOMPARE(written().last(), QByteArray::fromHex("aa55206455aa"));
        QTRY_COMPARE_WITH_TIMEOUT(light->getBrightness().value, 100, 2000);
        // The panel answers every write with its values; its answers to the
        // earlier writes may still be under way.
        QTRY_COMPARE_WITH_TIMEOUT(panelState().value(QStringLiteral("brightness")).toInt(), 100, 2000);
        QTest::qWait(300);

        // The panel's own report updates the values; the same values again,
        // or hostile reports, change nothing.
        brightness.clear();
        temperature.clear();
        panel().call(QStringLiteral("Notify"), QByteArray::fromHex("aa551e2855aa"));
        QTRY_COMPARE_WITH_TIMEOUT(brightness.size(), 1, 3000);
        QCOMPARE(brightness.first(), (QList<QVariant> {40, false}));
        QTRY_COMPARE_WITH_TIMEOUT(temperature.size(), 1, 3000);
        QCOMPARE(temperature.first(), (QList<QVariant> {4550, false}));
        QCOMPARE(light->getBrightness().value, 40);
        QCOMPARE(light->getTemperature().value, 4550);
        for (const char* hostile : {"aa551e2855aa", "aa551e2855", "aa551e2855aa00", "ab551e2855aa", "aa551e8055aa",
                                    "aa55ff2855aa", "aa55651e55aa", ""})
            panel().call(QStringLiteral("Notify"), QByteArray::fromHex(hostile));
        QTest::qWait(500);
        QCOMPARE(brightness.size(), 1);
        QCOMPARE(temperature.size(), 1);
        QCOMPARE(light->getBrightness().value, 40);
    }

    void slowConnectionsAndALostPanelAreFollowed()
    {
        // A connection slower than the status tick is not cut off by it.
        light.reset();
        LogCapture::clear();
        panel().call(QStringLiteral("SetConnectDelay"), 6.0);
        QElapsedTimer t;
        t.start();
        startLight();
        QTRY_VERIFY_WITH_TIMEOUT(light->isConnected(), 15000);
        QVERIFY2(t.elapsed() >= 6000, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(LogCapture::count(QStringLiteral("BLE Device Found")), 1);
        panel().call(QStringLiteral("SetConnectDelay"), 0.2);

        // The panel goes away mid-write and comes back: found again within two
        // ticks, and the value written as it vanished still arrives.
        QVERIFY(light->setBrightness(61, false));
        panel().call(QStringLiteral("Vanish"));
        QTRY_VERIFY_WITH_TIMEOUT(!light->isConnected(), 5000);
        QVERIFY(!light->setBrightness(62, false)); // not connected: refused, not queued
        panel().call(QStringLiteral("Reappear"));
        QTRY_VERIFY_WITH_TIMEOUT(light->isConnected(), kTwoTicksMs);
        QTRY_COMPARE_WITH_TIMEOUT(panelState().value(QStringLiteral("brightness")).toInt(), 61, 3000);
    }

    void manyValuesAcrossDisconnectsKeepTheLast()
    {
        // 200 values, a disconnection every 40: the panel ends with the last
        // value that was accepted.
        QTRY_VERIFY_WITH_TIMEOUT(light->isConnected(), kTwoTicksMs);
        QElapsedTimer t;
        t.start();
        int last = -1;
        for (int i = 0; i < 200 && t.elapsed() < 120000; ++i) {
            if (i % 40 == 39) {
                panel().call(QStringLiteral("Vanish"));
                QTest::qWait(50);
                panel().call(QStringLiteral("Reappear"));
            }
            if (light->setBrightness(i % 101, false))
                last = i % 101;
            if (!light->isConnected())
                QTRY_VERIFY_WITH_TIMEOUT(light->isConnected(), kTwoTicksMs);
            QTest::qWait(5);
        }
        QVERIFY(last >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(panelState().value(QStringLiteral("brightness")).toInt(), last, kTwoTicksMs);
        QTRY_COMPARE_WITH_TIMEOUT(light->getBrightness().value, last, 3000);
    }

    void duplicateReportsMakeOneAttempt()
    {
        // Two panels with the exact name: one controller, one connection.
        light.reset();
        LogCapture::clear();
        QVERIFY(panel().call(QStringLiteral("AddDevice"), kName, QStringLiteral("E4:5F:01:A2:3B:98")).type()
                != QDBusMessage::ErrorMessage);
        startLight();
        QTRY_VERIFY_WITH_TIMEOUT(light->isConnected(), 15000);
        QTest::qWait(1000);
        QCOMPARE(LogCapture::count(QStringLiteral("BLE Device Found")), 1);
    }

    void noAdapterARestartedServiceAndNoBus()
    {
        // No adapter: said clearly, tried again on the tick, found when one
        // comes.
        light.reset();
        LogCapture::clear();
        panel().call(QStringLiteral("SetAdapterPresent"), false);
        startLight();
        QTRY_VERIFY_WITH_TIMEOUT(LogCapture::logged(QStringLiteral("BLE discovery failed:")), 5000);
        QVERIFY(!light->isConnected());
        QVERIFY(!light->setTemperature(4000, false));
        panel().call(QStringLiteral("SetAdapterPresent"), true);
        QTRY_VERIFY_WITH_TIMEOUT(light->isConnected(), kTwoTicksMs);

        // An adapter switched off: said, and the panel found once it is on.
        light.reset();
        panel().call(QStringLiteral("SetPowered"), false);
        startLight();
        QTRY_VERIFY_WITH_TIMEOUT(LogCapture::logged(QStringLiteral("PoweredOffError")), 5000);
        panel().call(QStringLiteral("SetPowered"), true);
        QTRY_VERIFY_WITH_TIMEOUT(light->isConnected(), kTwoTicksMs);

        // The Bluetooth service restarts: the link it held is gone, and the
        // panel is found again once the service is back.
        bus->stopMock(bluez);
        QTRY_VERIFY_WITH_TIMEOUT(!light->isConnected(), 5000);
        bluez =
            bus->startMock(QStringLiteral(VANTOR_DBUSMOCK_TEMPLATES "/light_panel.py"), QStringLiteral("org.bluez"));
        QVERIFY(bluez);
        QTRY_VERIFY_WITH_TIMEOUT(light->isConnected(), kTwoTicksMs);

        // The system bus itself goes: the controller keeps ticking and neither
        // hangs its callers nor crashes.
        bus.reset();
        QTest::qWait(6000);
        QElapsedTimer t;
        t.start();
        light->start();
        QVERIFY(!light->setBrightness(10, false));
        light.reset();
        QVERIFY2(t.elapsed() < 3000, qPrintable(QString::number(t.elapsed())));
    }
};

QTEST_GUILESS_MAIN(LightTest)
#include "tst_light.moc"
