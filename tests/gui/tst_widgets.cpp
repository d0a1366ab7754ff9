#include "App.h"
#include "FontFamilyWidget.h"
#include "LogCapture.h"
#include "RenderFrame.h"
#include "ShadowedFrame.h"
#include "Style.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class WidgetsTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<LogCapture> log;

    App* app() { return App::instance(); }

private slots:
    void initTestCase() { log = std::make_unique<LogCapture>(); }

    // A 640 × 360 frame covers the 320 × 180 preview's rounded panel, centred;
    // the preview mirrors it when the user asked for a mirrored preview, unless
    // the frame is already mirrored.
    void previewCoversThePanelCentredAndMirrors()
    {
        RenderFrame preview;
        preview.setFixedSize(320, 180);
        preview.setBackgroundColor(app()->color(0));
        QCOMPARE(RenderFrame::placement({640, 360}, QRect(8, 8, 304, 164), {320, 180}), QRect(8, 4, 304, 171));
        QCOMPARE(RenderFrame::placement({}, QRect(8, 8, 304, 164), {320, 180}), QRect());

        QImage frame(640, 360, QImage::Format_ARGB32);
        frame.fill(Qt::red);
        QPainter(&frame).fillRect(320, 0, 320, 360, Qt::blue);
        const auto leftAndRight = [&preview] {
            const QImage shot = preview.grab().toImage();
            return std::pair(shot.pixelColor(60, 90), shot.pixelColor(260, 90));
        };
        for (const bool mirrored : {false, true}) {
            app()->settings()->setSetting(BaseSettings::General, BaseSettings::FlipHorizontal, mirrored);
            for (const bool ignoreMirroring : {false, true}) {
                preview.onNewFrame(frame, ignoreMirroring);
                const auto [left, right] = leftAndRight();
                const bool flipped = mirrored && !ignoreMirroring;
                QCOMPARE(left, flipped ? QColor(Qt::blue) : QColor(Qt::red));
                QCOMPARE(right, flipped ? QColor(Qt::red) : QColor(Qt::blue));
            }
        }
        app()->settings()->setSetting(BaseSettings::General, BaseSettings::FlipHorizontal, false);
        // The panel's corners are rounded: the frame does not reach them.
        preview.onNewFrame(frame, false);
        QVERIFY(preview.grab().toImage().pixelColor(9, 5) != QColor(Qt::red));
    }

    // The shadow is made once per size; a frame smaller than its margins has an
    // empty panel rather than a negative one.
    void shadowIsRenderedOncePerSize()
    {
        ShadowedFrame frame(nullptr, true);
        frame.setBackgroundColor(app()->color(0));
        frame.resize(200, 100);
        frame.grab();
        const qint64 key = frame.shadowImage().cacheKey();
        const QImage shadow = frame.shadowImage();
        QCOMPARE(shadow.size(), QSize(200, 100));
        // On the background colour, a soft shadow around the panel: grey just
        // outside it, fading to the background at the widget's corner.
        QCOMPARE(shadow.pixelColor(0, 0), app()->color(0));
        const int outside = qRed(shadow.pixel(5, 50));
        QVERIFY2(outside > 0 && outside < 250, qPrintable(QString::number(outside)));
        QVERIFY(qRed(shadow.pixel(2, 50)) > outside);
        frame.update();
        frame.grab();
        QCOMPARE(frame.shadowImage().cacheKey(), key);
        frame.resize(220, 100);
        frame.grab();
        QCOMPARE(frame.shadowImage().size(), QSize(220, 100));

        frame.resize(10, 10);
        frame.grab();
        QVERIFY(frame.clipPath().boundingRect().isEmpty());
    }

    // Icons: dark artwork turns light; in the light scheme it is then tinted
    // with the theme's grey. A missing asset is reported and keeps a square place.
    void iconsFollowTheScheme()
    {
        QImage art(2, 1, QImage::Format_ARGB32);
        art.setPixel(0, 0, qRgba(0, 0, 0, 255));
        art.setPixel(1, 0, qRgba(0, 0, 0, 0));
        const QImage dark = gui::recolourIcon(art, false, QColor("#474749"));
        QCOMPARE(dark.pixelColor(0, 0), QColor(255, 255, 255));
        QCOMPARE(qAlpha(dark.pixel(1, 0)), 0);
        const QImage light = gui::recolourIcon(art, true, QColor("#474749"));
        QCOMPARE(light.pixelColor(0, 0), QColor("#474749"));

        QTemporaryDir dir;
        QFile svg(dir.filePath("only.svg"));
        QVERIFY(svg.open(QIODevice::WriteOnly));
        svg.close();
        QCOMPARE(gui::resolveAsset(dir.filePath("only")), dir.filePath("only.svg"));

        LogCapture::clear();
        QLabel label;
        gui::setIconLabel(&label, 20, dir.filePath("missing"), true);
        QCOMPARE(LogCapture::count("Unable to find asset: "), 1);
        QCOMPARE(label.size(), QSize(20, 20));
    }

    // Style sheets carry the theme's colours and the slider's gradient by unit.
    void slidersAndButtonsTakeTheThemeColours()
    {
        QSlider plain, temp, skin;
        gui::styleSliderForUnit(&plain, "PERC");
        gui::styleSliderForUnit(&temp, "TEMP");
        gui::styleSliderForUnit(&skin, "SKIN");
        QVERIFY(plain.styleSheet().contains(gui::argb(app()->color(7))));
        QVERIFY(temp.styleSheet().contains("#ff4b90f3") && temp.styleSheet().contains("#664b90f3"));
        QVERIFY(skin.styleSheet().contains("#ffee8c00"));
        QPushButton toggle;
        toggle.setCheckable(true);
        gui::styleIconToggle(&toggle, 20, "icon_toggle", 2, Qt::transparent, Qt::transparent);
        QCOMPARE(toggle.size(), QSize(24, 24));
        QVERIFY(toggle.isFlat());
    }

    // The font chooser offers families with a regular and a bold style, judged
    // by weight (DejaVu calls its regular style "Book"), and its OK cannot
    // store an empty name.
    void fontChooserOffersFamiliesWithRegularAndBold()
    {
        const QStringList families = FontFamilyWidget::familiesWithRegularAndBold();
        QVERIFY2(families.contains("DejaVu Sans"), qPrintable(families.join(", ")));
        QVERIFY(families.contains("Liberation Sans"));
        QVERIFY(!families.contains("DejaVu Sans Light"));
        FontFamilyWidget chooser;
        chooser.setSelectedFamily("DejaVu Sans");
        QCOMPARE(chooser.selectedFamily(), "DejaVu Sans");
        // The text overlay's default family is not on Debian: its stand-in is offered.
        chooser.setSelectedFamily("Arial");
        QCOMPARE(chooser.selectedFamily(), "Liberation Sans");
        QCOMPARE(chooser.findChild<QComboBox*>()->itemData(0, Qt::FontRole).value<QFont>().family(), families.first());
    }
};

int main(int argc, char** argv)
{
    App app(argc, argv, false);
    WidgetsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_widgets.moc"
