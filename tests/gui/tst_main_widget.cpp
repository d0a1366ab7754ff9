#include "App.h"
#include "CameraGrabber.h"
#include "DraggableFrame.h"
#include "LightController.h"
#include "LightFrames.h"
#include "LogCapture.h"
#include "MainWidget.h"
#include "PostProcessor.h"
#include "RenderFrame.h"
#include "SettingRow.h"
#include "MockPanel.h"
#include "SoundServer.h"
#include "TestBus.h"
#include "UpdateManager.h"
#include "VCam.h"
#include "VMic.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPalette>
#include <QPushButton>
#include <QSlider>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

// Presses the button labelled `text` of the next modal box, once it shows.
void answerNextBox(const QString& text)
{
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, text] {
        if (QWidget* box = QApplication::activeModalWidget())
            for (QPushButton* b : box->findChildren<QPushButton*>())
                if (b->text() == text) {
                    timer->deleteLater();
                    b->click();
                    return;
                }
    });
    timer->start(20);
}

template <typename T>
T* inRow(QWidget* page, const QString& rowName, const QString& childName = {})
{
    auto* row = page->findChild<QWidget*>(rowName);
    return row ? row->findChild<T*>(childName) : nullptr;
}

} // namespace

// The private system bus of the device run: in place before anything in the
// process connects to a system bus.
std::unique_ptr<TestBus> systemBus;

class MainWidgetTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<LogCapture> log;
    std::unique_ptr<CameraGrabber> grabber;
    std::shared_ptr<PostProcessor> effects;
    std::unique_ptr<UpdateManager> updates;

    App* app() { return App::instance(); }
    MainWidget::Components components()
    {
        MainWidget::Components c;
        c.grabber = grabber.get();
        c.effects = effects;
        c.updates = updates.get();
        return c;
    }

private slots:
    void initTestCase()
    {
        log = std::make_unique<LogCapture>();
        // The dark scheme, as a desktop without a settings portal announces it.
        if (qEnvironmentVariableIsSet("VANTOR_LOOK_DARK")) {
            QPalette p;
            p.setColor(QPalette::Window, QColor(25, 25, 25));
            p.setColor(QPalette::WindowText, QColor(235, 235, 235));
            QGuiApplication::setPalette(p);
            QTRY_VERIFY(app()->isDarkMode());
        }
        grabber = std::make_unique<CameraGrabber>();
        effects = std::make_shared<PostProcessor>(app()->settings());
        updates = std::make_unique<UpdateManager>();
    }
    void cleanupTestCase()
    {
        // The application's own components (the feeder starts 2.5 s in) stop
        // while this test still collects their log lines.
        app()->shutdown();
        updates.reset();
        effects.reset();
        grabber.reset();
    }

    void valueTexts_data()
    {
        QTest::addColumn<QString>("unit");
        QTest::addColumn<int>("value");
        QTest::addColumn<bool>("autoSupported");
        QTest::addColumn<bool>("checked");
        QTest::addColumn<QString>("text");
        QTest::newRow("angle") << "DEG" << 7 << false << true << "3.5°";
        QTest::newRow("rotation") << "ROT" << 1 << false << true << "Vertical";
        QTest::newRow("rotation off") << "ROT" << 0 << false << true << "";
        QTest::newRow("home voltage") << "[Auto, 220v, 110v]" << 2 << false << true << "110v";
        QTest::newRow("beyond the entries") << "[Off, On]" << 2 << false << true << "ERROR!";
        QTest::newRow("temperature") << "TEMP" << 5000 << false << true << "5000K";
        QTest::newRow("percentage") << "PERC" << 150 << false << true << "75%";
        QTest::newRow("automatic") << "PERC" << 150 << true << false << "Auto";
        QTest::newRow("at its default") << "PERC" << 100 << false << false << "Default: 50%";
        QTest::newRow("default without text") << "" << 100 << false << false << "Default";
    }
    void valueTexts()
    {
        QFETCH(QString, unit);
        QFETCH(int, value);
        QFETCH(bool, autoSupported);
        QFETCH(bool, checked);
        QFETCH(QString, text);
        CameraSetting record;
        record.minimum = 0;
        record.maximum = 200;
        record.autoSupported = autoSupported;
        QCOMPARE(settingRowText(unit, record, value, true, checked), text);
        // An empty range shows no percentage rather than dividing by zero, and
        // its row cannot be used.
        record.maximum = 0;
        QCOMPARE(formatSettingValue("PERC", record, 0), QString());
        QCheckBox toggle;
        QSlider slider;
        QLabel shown;
        int calls = 0;
        SettingRow row(
            "Zoom", "Zoom", unit, record, [&calls](long, bool) { return ++calls > 0; }, &toggle, &slider, &shown,
            nullptr);
        QVERIFY(!toggle.isEnabled() && !slider.isEnabled());
        QCOMPARE(calls, 0);
    }

    // Pages build their rows in the stored order: duplicates and unknown names
    // in it are ignored, rows it lacks come last; a page with nothing to show
    // says so; the audio page exists only with the cable.
    void pagesFollowTheStoredOrder()
    {
        app()->settings()->setValue("Camera", QStringList {"Contrast", "Zoom", "Contrast", "Nonsense"});
        MainWidget window(components());
        QCOMPARE(window.rowOrder(MainWidget::Sliders),
                 QStringList({"White Balance", "Skin Tone", "Brightness", "Saturation", "Exposure", "Backlight"}));
        QCOMPARE(window.rowOrder(MainWidget::Camera),
                 QStringList({"Contrast", "Zoom", "Background Blur", "Sharpness", "Focus"}));
        QCOMPARE(window.rowOrder(MainWidget::Settings),
                 QStringList({"Settings", "Rotation", "Angle", "Home Voltage", "App Information"}));
        QVERIFY(!window.pageWidget(MainWidget::Audio));
        QVERIFY(!window.findChild<QPushButton*>("tab_Audio"));
        app()->settings()->remove("Camera");

        MainWidget bare(MainWidget::Components {});
        QCOMPARE(bare.rowOrder(MainWidget::Sliders), QStringList());
        auto* warning = bare.pageWidget(MainWidget::Sliders)->findChild<QLabel*>("warning_frame_text");
        QVERIFY(warning);
        QCOMPARE(warning->text(), "This device doesn't seem to be compatible.");
        // Without a connected panel the light page shows its note only.
        QWidget* light = bare.pageWidget(MainWidget::Light);
        QVERIFY(light->findChild<QWidget*>("warning_frame")->isVisibleTo(light));
    }

    // Rows drive what they adjust, by keyboard as a user without a mouse would.
    void rowsDriveTheirComponents()
    {
        MainWidget window(components());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QWidget* sliders = window.pageWidget(MainWidget::Sliders);

        // Skin tone: the toggle takes the user's value, the arrow keys move it.
        auto* toggle = inRow<QCheckBox>(sliders, "Setting_SkinTone", "toggle_button");
        auto* slider = inRow<QSlider>(sliders, "Setting_SkinTone");
        QVERIFY(toggle && slider);
        toggle->setFocus();
        QTest::keyClick(toggle, Qt::Key_Space);
        QVERIFY(toggle->isChecked() && slider->isEnabled());
        slider->setFocus();
        for (int i = 0; i < 5; ++i)
            QTest::keyClick(slider, Qt::Key_Right);
        CameraSetting skin;
        QVERIFY(effects->getSkinTone(skin));
        QCOMPARE(skin.value, slider->value());
        QVERIFY(skin.value != skin.defaultValue);
        QCOMPARE(app()->settings()->value("SkinTone").toInt(), skin.value);
        QCOMPARE(slider->accessibleName(), "Skin Tone");
        QCOMPARE(slider->accessibleDescription(), inRow<QLabel>(sliders, "Setting_SkinTone", "value_label")->text());
        // Off again: back to the default, the effect off.
        QTest::keyClick(toggle, Qt::Key_Space);
        QVERIFY(effects->getSkinTone(skin));
        QCOMPARE(skin.value, skin.defaultValue);
        QVERIFY(!slider->isEnabled());

        // The camera's brightness through the grabber's control device.
        auto* bToggle = inRow<QCheckBox>(sliders, "Setting_Brightness", "toggle_button");
        auto* bSlider = inRow<QSlider>(sliders, "Setting_Brightness");
        QVERIFY(bToggle && bSlider);
        if (!bToggle->isChecked())
            bToggle->click();
        bSlider->setValue(bSlider->maximum());
        CameraSetting brightness;
        QVERIFY(grabber->getBrightness(brightness));
        QCOMPARE(brightness.value, bSlider->maximum());

        // Overlay sliders store fractions; the mirror toggle reaches all three groups.
        QWidget* overlays = window.pageWidget(MainWidget::Overlays);
        auto* size = inRow<QSlider>(overlays, "Setting_LogoOverlay", "size");
        QVERIFY(size);
        size->setValue(25);
        QCOMPARE(app()->settings()->getSetting(BaseSettings::LogoOverlay, BaseSettings::Size).toDouble(), 0.25);
        QWidget* settingsPage = window.pageWidget(MainWidget::Settings);
        auto* mirror = settingsPage->findChildren<QCheckBox*>("settings_toggle").value(1);
        QVERIFY(mirror && mirror->accessibleName() == "Mirror preview");
        mirror->click();
        for (auto group : {BaseSettings::LogoOverlay, BaseSettings::TextOverlay, BaseSettings::General})
            QCOMPARE(app()->settings()->getSetting(group, BaseSettings::FlipHorizontal).toBool(), mirror->isChecked());
        mirror->click();

        // Reset asks first; "Cancel" changes nothing, "Ok" puts every toggle back.
        QVERIFY(!bToggle->property("settings_default_check_value").toBool());
        answerNextBox("Cancel");
        window.findChild<QPushButton*>(QString(), Qt::FindChildrenRecursively);
        for (QPushButton* b : window.findChildren<QPushButton*>())
            if (b->text() == "Reset") {
                b->click();
                QVERIFY(bToggle->isChecked());
                answerNextBox("Ok");
                b->click();
            }
        QVERIFY(!bToggle->isChecked());
        QVERIFY(grabber->getBrightness(brightness));
        QVERIFY(brightness.autoMode || brightness.value == brightness.defaultValue);
    }

    // Dropping a row onto another moves it there and stores the page's order,
    // which the next window keeps.
    void draggedRowOrderIsKept()
    {
        {
            MainWidget window(components());
            QWidget* sliders = window.pageWidget(MainWidget::Sliders);
            auto* exposure = qobject_cast<DraggableFrame*>(sliders->findChild<QWidget*>("Setting_Exposure"));
            auto* balance = qobject_cast<DraggableFrame*>(sliders->findChild<QWidget*>("Setting_WhiteBalance"));
            QVERIFY(exposure && balance);
            emit balance->onFrameDropped(exposure, balance);
            QCOMPARE(window.rowOrder(MainWidget::Sliders).first(), "Exposure");
            QCOMPARE(app()->settings()->value("Sliders").toStringList().first(), "Exposure");
        }
        MainWidget again(components());
        QCOMPARE(again.rowOrder(MainWidget::Sliders),
                 QStringList({"Exposure", "White Balance", "Skin Tone", "Brightness", "Saturation", "Backlight"}));
        app()->settings()->remove("Sliders");
    }

    // The update button follows the manager's progress.
    void updateButtonShowsProgress()
    {
        MainWidget window(components());
        auto* button = window.findChild<QPushButton*>("update_button");
        QVERIFY(button && button->isEnabled());
        // Driven by the application's re-emitted update signals.
        emit app()->onUpdaterStarted();
        QCOMPARE(button->text(), "Checking for update...");
        QVERIFY(!button->isEnabled());
        emit app()->onUpdaterFinished();
        QCOMPARE(button->text(), "Check for update");
        emit app()->onDownloaderStarted();
        QCOMPARE(button->text(), "Downloading update (0%)...");
        emit app()->onDownloaderProgress(42.f);
        QCOMPARE(button->text(), "Downloading update (42%)...");
        emit app()->onDownloaderFinished();
        QVERIFY(button->isEnabled());
    }

    // With the emulated light panel and a sound server with the cable: the
    // light page shows its rows once the panel is connected and sends their
    // values to it, and the audio page sets the microphone's volume and mute.
    void lightAndAudioPagesDriveTheirDevices()
    {
        if (!qEnvironmentVariableIsSet("VANTOR_WIDGET_DEVICES"))
            QSKIP("runs as tst_main_widget_devices, under a sound server and with the emulated panel");
        using namespace soundserver;
        QProcess install;
        install.setProcessChannelMode(QProcess::ForwardedChannels);
        install.start(qEnvironmentVariable("VANTOR_SOURCE_DIR") + QStringLiteral("/scripts/install-cable"));
        QVERIFY(install.waitForFinished(30000) && install.exitCode() == 0);
        QVERIFY(systemBus && systemBus->isReady());
        QVERIFY(systemBus->startMock(QStringLiteral(VANTOR_DBUSMOCK_TEMPLATES "/light_panel.py"),
                                     QStringLiteral("org.bluez")));
        LightController light(app()->settings(), "Light_ble", "0000f530-1212-efde-1523-785feabcd123",
                              "00002902-0000-1000-8000-00805f9b34fb", "0000f532-1212-efde-1523-785feabcd123");
        VMic vmic(app()->settings());
        QVERIFY(vmic.start());

        MainWidget::Components c = components();
        c.light = &light;
        c.vmic = &vmic;
        c.audioCable = !VMic::findVirtualOutputDevice(false).isNull();
        QVERIFY(c.audioCable);
        MainWidget window(c);
        QWidget* lightPage = window.pageWidget(MainWidget::Light);
        auto* brightnessRow = lightPage->findChild<QWidget*>("Setting_Brightness");
        QVERIFY(brightnessRow && !brightnessRow->isVisibleTo(lightPage));
        light.start();
        QTRY_VERIFY_WITH_TIMEOUT(light.isConnected(), 20000);
        QTRY_VERIFY(brightnessRow->isVisibleTo(lightPage));
        QVERIFY(!lightPage->findChild<QWidget*>("warning_frame")->isVisibleTo(lightPage));
        // The picture page's row of the same name stays as it was.
        QWidget* sliders = window.pageWidget(MainWidget::Sliders);
        QVERIFY(sliders->findChild<QWidget*>("Setting_Brightness")->isVisibleTo(sliders));

        mockpanel::control().call(QStringLiteral("ClearWritten"));
        auto* toggle = brightnessRow->findChild<QCheckBox*>("toggle_button");
        auto* slider = brightnessRow->findChild<QSlider*>();
        if (!toggle->isChecked())
            toggle->click();
        slider->setValue(80);
        QTRY_VERIFY_WITH_TIMEOUT(!mockpanel::writes().isEmpty()
                                     && mockpanel::writes().last().bytes == lightframes::brightnessCommand(80),
                                 5000);

        QWidget* audio = window.pageWidget(MainWidget::Audio);
        QVERIFY(audio);
        QCOMPARE(window.rowOrder(MainWidget::Audio),
                 QStringList({"Volume", "Denoise", "Bass", "Treble", "Compression"}));
        auto* volume = audio->findChild<QWidget*>("Setting_Volume");
        auto* volumeSlider = volume->findChild<QSlider*>();
        auto* unmuted = volume->findChild<QCheckBox*>("toggle_button");
        volumeSlider->setValue(37);
        QTRY_VERIFY(field(true, "vantor_camera_mic", "Volume").contains(" 37%"));
        unmuted->click();
        QTRY_COMPARE(field(true, "vantor_camera_mic", "Mute"), QByteArray(unmuted->isChecked() ? "no" : "yes"));
        QCOMPARE(volume->findChild<QLabel*>("value_label")->text(), unmuted->isChecked() ? "37%" : "Muted");
        // A filter row writes its group, which the microphone reads on its next block.
        auto* bass = audio->findChild<QWidget*>("Setting_DSPBass");
        bass->findChild<QCheckBox*>("toggle_button")->click();
        QCOMPARE(app()->settings()->getSetting(BaseSettings::DSPBass, BaseSettings::Enabled).toBool(),
                 bass->findChild<QCheckBox*>("toggle_button")->isChecked());
        light.stop();
    }

    // The preview shows the virtual camera's processed picture: a text overlay
    // switched on in the settings appears in it, and goes again.
    void previewShowsTheProcessedPicture()
    {
        MainWidget window(components());
        window.show();
        // The feeder the preview is a client of (the application's own
        // components are not started in this test).
        VCam feeder(app()->settings());
        QVERIFY(feeder.start());
        const auto greenPixels = [&window] {
            const QImage shown = window.preview()->lastImage().convertToFormat(QImage::Format_RGB32);
            int n = 0;
            for (int y = 0; y < shown.height(); ++y)
                for (int x = 0; x < shown.width(); ++x) {
                    const QRgb p = shown.pixel(x, y);
                    n += qGreen(p) > 200 && qRed(p) < 80 && qBlue(p) < 80;
                }
            return n;
        };
        QTRY_VERIFY_WITH_TIMEOUT(!window.preview()->lastImage().isNull(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(greenPixels() < 50, 10000);
        BaseSettings* s = app()->settings();
        s->setSetting(BaseSettings::TextOverlay, BaseSettings::TextFillColor, QColor(0, 255, 0));
        s->setSetting(BaseSettings::TextOverlay, BaseSettings::TextLine1, QStringLiteral("MMMM"));
        s->setSetting(BaseSettings::TextOverlay, BaseSettings::Line1Size, 1.0);
        s->setSetting(BaseSettings::TextOverlay, BaseSettings::Enabled, true);
        QTRY_VERIFY_WITH_TIMEOUT(greenPixels() > 500, 10000);
        if (const QString dir = qEnvironmentVariable("VANTOR_LOOK_DIR"); !dir.isEmpty() && QDir().mkpath(dir))
            window.preview()->grab().save(
                dir + QStringLiteral("/Preview-overlay%1.png").arg(qEnvironmentVariable("VANTOR_LOOK_TAG")));
        s->setSetting(BaseSettings::TextOverlay, BaseSettings::Enabled, false);
        QTRY_VERIFY_WITH_TIMEOUT(greenPixels() < 50, 10000);
        feeder.stop();
    }

    // Screenshots of every page for a person to look at (not compared).
    void screenshotsOfEveryPage()
    {
        const QString dir = QString::fromLocal8Bit(qgetenv("VANTOR_LOOK_DIR"));
        if (dir.isEmpty())
            QSKIP("VANTOR_LOOK_DIR names no folder for screenshots");
        QVERIFY(QDir().mkpath(dir));
        MainWidget window(components());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::qWait(1500);
        const QString tag = QString::fromLocal8Bit(qgetenv("VANTOR_LOOK_TAG"));
        for (auto page :
             {MainWidget::Sliders, MainWidget::Camera, MainWidget::Light, MainWidget::Overlays, MainWidget::Settings}) {
            window.showPage(page);
            QTest::qWait(200);
            const QString name = QString::fromLatin1(QMetaEnum::fromType<MainWidget::Page>().valueToKey(page));
            QVERIFY(window.grab().save(QStringLiteral("%1/%2%3.png").arg(dir, name, tag)));
        }
    }
};

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsSet("VANTOR_WIDGET_DEVICES")) {
        systemBus = std::make_unique<TestBus>(TestBus::System);
        systemBus->exportAddress();
    }
    App app(argc, argv, false);
    MainWidgetTest test;
    const int status = QTest::qExec(&test, argc, argv);
    systemBus.reset();
    return status;
}

#include "tst_main_widget.moc"
