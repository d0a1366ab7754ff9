// The colour scheme from a desktop portal on a private session bus, its change
// signal, the older Read method, and the palette when no portal answers.
#include "platform/ColorSchemeSource.h"

#include "MockPortal.h"
#include "TestBus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPalette>
#include <QSignalSpy>
#include <QtTest>

namespace {

const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kTemplate = QStringLiteral(VANTOR_DBUSMOCK_TEMPLATES "/portal.py");

void setPaletteDark(bool dark)
{
    QPalette p;
    p.setColor(QPalette::Window, dark ? QColor(25, 25, 25) : QColor(245, 245, 245));
    p.setColor(QPalette::WindowText, dark ? QColor(235, 235, 235) : QColor(10, 10, 10));
    QGuiApplication::setPalette(p);
}

} // namespace

class ColorSchemeTest : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestBus> bus;

private slots:
    void initTestCase()
    {
        bus = std::make_unique<TestBus>(TestBus::Session);
        QVERIFY(bus->isReady());
        bus->exportAddress();
    }

    void portalPreferenceWinsAndChangesAreAnnounced()
    {
        QProcess* portal = bus->startMock(kTemplate, kPortal, {{"color-scheme", 1}});
        QVERIFY(portal);
        setPaletteDark(false);
        auto source = ColorSchemeSource::create();
        QVERIFY(source->isDark());

        QSignalSpy changed(source.get(), &ColorSchemeSource::colorSchemeChanged);
        QVERIFY(mockportal::setColorScheme(2));
        QTRY_COMPARE(changed.count(), 1);
        QVERIFY(!source->isDark());

        // "No preference" hands the decision to the palette.
        QVERIFY(mockportal::setColorScheme(0));
        QTRY_COMPARE(changed.count(), 2);
        QVERIFY(!source->isDark());
        setPaletteDark(true);
        QTRY_COMPARE(changed.count(), 3);
        QVERIFY(source->isDark());
        setPaletteDark(false);
        bus->stopMock(portal);
    }

    void olderPortalWithOnlyReadIsUnderstood()
    {
        QProcess* portal = bus->startMock(kTemplate, kPortal, {{"color-scheme", 1}, {"legacy", true}});
        QVERIFY(portal);
        setPaletteDark(false);
        QVERIFY(ColorSchemeSource::create()->isDark());
        bus->stopMock(portal);
    }

    void withoutPortalThePaletteDecidesQuickly()
    {
        QElapsedTimer timer;
        timer.start();
        auto source = ColorSchemeSource::create();
        QVERIFY(timer.elapsed() < 2000);
        setPaletteDark(true);
        QTRY_VERIFY(source->isDark());
        setPaletteDark(false);
        QTRY_VERIFY(!source->isDark());
    }
};

QTEST_MAIN(ColorSchemeTest)
#include "tst_color_scheme.moc"
