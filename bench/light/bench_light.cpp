// ble_set_to_write_ms: from setBrightness to the command's bytes arriving at
// the emulated panel (tests/fixtures/dbusmock/light_panel.py) on a private
// system bus, through Qt Bluetooth's BlueZ backend. The panel stamps each
// write with the monotonic clock, which std::chrono::steady_clock reads too.
// Prints the median of 50 commands.
#include "BaseSettings.h"
#include "LightController.h"
#include "MockPanel.h"
#include "TestBus.h"

#include <QCoreApplication>
#include <QDBusInterface>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

double nowSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

} // namespace

int main(int argc, char** argv)
{
    // Qt takes its D-Bus Bluetooth LE backend only for BlueZ 5.42 or later,
    // which the emulated BlueZ cannot announce.
    qputenv("BLUETOOTH_FORCE_DBUS_LE_VERSION", "5.42");
    qputenv("QT_LOGGING_RULES", "*.debug=false;qt.bluetooth*.warning=false");
    QCoreApplication app(argc, argv);
    TestBus bus(TestBus::System);
    bus.exportAddress();
    if (!bus.isReady()
        || !bus.startMock(QStringLiteral(VANTOR_DBUSMOCK_TEMPLATES "/light_panel.py"), QStringLiteral("org.bluez"))) {
        std::fprintf(stderr, "no emulated panel\n");
        return 1;
    }
    BaseSettings settings;
    LightController light(
        &settings, QStringLiteral("Light_ble"), QStringLiteral("0000f530-1212-efde-1523-785feabcd123"),
        QStringLiteral("00002902-0000-1000-8000-00805f9b34fb"), QStringLiteral("0000f532-1212-efde-1523-785feabcd123"));
    light.start();
    QElapsedTimer wait;
    wait.start();
    while (!light.isConnected() && wait.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (!light.isConnected()) {
        std::fprintf(stderr, "the panel did not connect\n");
        return 1;
    }
    QDBusInterface panel = mockpanel::control();
    std::vector<double> delays;
    for (int i = 0; i < 50; ++i) {
        panel.call(QStringLiteral("ClearWritten"));
        const double sent = nowSeconds();
        light.setBrightness(i * 2, false);
        QList<mockpanel::Write> writes;
        wait.restart();
        while ((writes = mockpanel::writes()).isEmpty() && wait.elapsed() < 2000)
            QThread::usleep(500);
        if (!writes.isEmpty())
            delays.push_back((writes.first().at - sent) * 1000.0);
        QThread::msleep(30); // the panel's answer, before the next command
        QCoreApplication::processEvents();
    }
    if (delays.empty()) {
        std::fprintf(stderr, "no command arrived\n");
        return 1;
    }
    std::sort(delays.begin(), delays.end());
    std::printf("ble_set_to_write_ms: %.1f ms\n", delays[delays.size() / 2]);
    return 0;
}
