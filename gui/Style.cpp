#include "Style.h"

#include "App.h"
#include "ClickableLabel.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDebug>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QSlider>

#include <algorithm>

namespace gui {

namespace {

QString sliderSheet(int grooveHeight, int radius, int handleWidth, int height, const QColor& subPage,
                    const QColor& groove, const QColor& handle)
{
    QColor grooveOff = groove;
    grooveOff.setAlpha(100);
    QColor subPageOff = subPage;
    subPageOff.setAlpha(100);
    return QStringLiteral("QSlider { height: %1px; background: transparent; }"
                          "QSlider::groove:horizontal { height: %2px; border-radius: %3px; background: %4; }"
                          "QSlider::groove:horizontal:disabled { background: %5; }"
                          "QSlider::handle:horizontal { width: %6px; height: %2px; border-radius: %3px; "
                          "background: %7; border: 1px solid %7; margin: 0px; }"
                          "QSlider::handle:horizontal:disabled { background: %7; border: 1px solid %7; }"
                          "QSlider::sub-page:horizontal { background: %8; border-top-left-radius: %3px; "
                          "border-bottom-left-radius: %3px; }"
                          "QSlider::sub-page:horizontal:disabled { background: %9; }")
        .arg(height)
        .arg(grooveHeight)
        .arg(radius)
        .arg(argb(groove), argb(grooveOff))
        .arg(handleWidth)
        .arg(argb(handle), argb(subPage), argb(subPageOff));
}

QString gradientSheet(const QStringList& stops)
{
    const auto gradient = [&stops](bool enabled) {
        QString g = QStringLiteral("qlineargradient(x1:0, y1:0, x2:1, y2:0");
        for (int i = 0; i < stops.size(); ++i) {
            QColor c(stops[i]);
            if (!enabled)
                c.setAlpha(0x66);
            g += QStringLiteral(", stop:%1 %2").arg(double(i) / double(stops.size() - 1)).arg(argb(c));
        }
        return g + u')';
    };
    return QStringLiteral("QSlider { height: 30px; background: transparent; }"
                          "QSlider::groove:horizontal { height: 20px; border-radius: 10px; background: %1; }"
                          "QSlider::groove:horizontal:disabled { background: %2; }"
                          "QSlider::handle:horizontal { width: 18px; height: 20px; border-radius: 10px; "
                          "background: %3; border: 1px solid %3; margin: 0px; }"
                          "QSlider::handle:horizontal:disabled { background: #aaaaaa; border: 1px solid #aaaaaa; }"
                          "QSlider::sub-page:horizontal { background: transparent; }")
        .arg(gradient(true), gradient(false), argb(color(9)));
}

// Sliders pass wheel events to the application, which scrolls the page.
void watchWheel(QSlider* slider)
{
    if (QCoreApplication::instance())
        slider->installEventFilter(QCoreApplication::instance());
}

} // namespace

QColor color(int role)
{
    App* a = App::instance();
    return a ? a->color(role) : QColor();
}

bool isDarkScheme()
{
    App* a = App::instance();
    return a && a->isDarkMode();
}

QString argb(const QColor& c)
{
    return c.name(QColor::HexArgb);
}

namespace {

// "<base>.svg" or else "<base>.png", whichever exists first; empty for neither.
QString existingAsset(const QString& base)
{
    for (const char* suffix : {".svg", ".png"})
        if (QFileInfo::exists(base + QLatin1String(suffix)))
            return base + QLatin1String(suffix);
    return {};
}

} // namespace

QString resolveAsset(const QString& path)
{
    if (QString found = existingAsset(path); !found.isEmpty())
        return found;
    qWarning() << "Unable to find asset: " << path << "(png or svg)";
    return path;
}

QString themedIconPath(const QString& name)
{
    if (!isDarkScheme())
        if (QString light = existingAsset(QStringLiteral(":/assets/light/") + name); !light.isEmpty())
            return light;
    return resolveAsset(QStringLiteral(":/assets/") + name);
}

QImage recolourIcon(const QImage& image, bool lightScheme, const QColor& tint)
{
    QImage out = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < out.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            const QRgb p = row[x];
            const int a = qAlpha(p);
            const auto light = [a](int c) { return a * (c < 128 ? 255 - c : c) / 255; };
            QColor c(light(qRed(p)), light(qGreen(p)), light(qBlue(p)), a);
            if (lightScheme) {
                const double l = c.lightnessF();
                c = QColor(int(tint.red() * l), int(tint.green() * l), int(tint.blue() * l), a);
            }
            row[x] = c.rgba();
        }
    }
    return out;
}

void setIconLabel(QLabel* label, int height, const QString& path, bool recolour)
{
    QImage image(resolveAsset(path));
    if (recolour && !image.isNull())
        image = recolourIcon(image, !isDarkScheme(), color(5));
    label->setPixmap(QPixmap::fromImage(image));
    label->setScaledContents(true);
    // A missing asset has no shape: it keeps a square place.
    const double aspect = image.isNull() || image.height() == 0 ? 1.0 : double(image.width()) / image.height();
    const auto sized = [aspect](int h) { return QSize(std::max(1, int(h * aspect)), std::max(1, h)); };
    label->setFixedSize(sized(height));
    if (auto* clickable = qobject_cast<ClickableLabel*>(label)) {
        clickable->disconnect(clickable, &ClickableLabel::pressed, nullptr, nullptr);
        clickable->disconnect(clickable, &ClickableLabel::released, nullptr, nullptr);
        QObject::connect(clickable, &ClickableLabel::pressed, clickable, [clickable, sized, height] {
            clickable->setFixedSize(sized(height - 2));
            clickable->setStyleSheet(QStringLiteral("QLabel { padding: 1px; }"));
        });
        QObject::connect(clickable, &ClickableLabel::released, clickable, [clickable, sized, height] {
            clickable->setFixedSize(sized(height));
            clickable->setStyleSheet(QStringLiteral("QLabel { padding: 0px; }"));
        });
    }
}

void styleSlider(QSlider* slider, const QColor& subPage, const QColor& groove, const QColor& handle)
{
    slider->setStyleSheet(sliderSheet(20, 10, 18, 30, subPage, groove, handle));
    watchWheel(slider);
}

void styleSmallSlider(QSlider* slider, const QColor& subPage, const QColor& groove, const QColor& handle)
{
    slider->setStyleSheet(sliderSheet(13, 6, 11, 18, subPage, groove, handle));
    watchWheel(slider);
}

void styleSliderForUnit(QSlider* slider, const QString& unitTag)
{
    if (unitTag == QLatin1String("TEMP")) {
        slider->setStyleSheet(gradientSheet({"#4B90F3", "#B3C6A9", "#FAE04E", "#F8CD49", "#F3AE41"}));
        watchWheel(slider);
    } else if (unitTag == QLatin1String("SKIN")) {
        slider->setStyleSheet(gradientSheet({"#ffee8c00", "#ffff7f00", "#ffff9800", "#ffff745f", "#ffff7285"}));
        watchWheel(slider);
    } else {
        styleSlider(slider, color(7), color(8), color(9));
    }
}

void styleIconToggle(QAbstractButton* button, int size, const QString& iconName, int padding, const QColor& borderColor,
                     const QColor& backgroundColor)
{
    const QString checked = themedIconPath(iconName + QStringLiteral("_filled"));
    const QString unchecked = themedIconPath(iconName);
    button->setFixedSize(size + 2 * padding, size + 2 * padding);
    button->setStyleSheet(
        QStringLiteral("QCheckBox::indicator { width: %1px; height: %1px; padding: %5px; }"
                       "QCheckBox::indicator:checked {image: url(%2);}"
                       "QCheckBox::indicator:unchecked {image: url(%3);}"
                       "QCheckBox::indicator:!enabled {image: url(%3);}"
                       "QCheckBox::indicator:pressed {width: %4px; height: %4px; padding: %6px;}"
                       "QPushButton { width: %1px; height: %1px; image: url(%3); border: 1px solid %7; "
                       "padding: %5px; background: %8; border-radius: 4px; }"
                       "QPushButton:checked { image: url(%2); }"
                       "QPushButton:pressed { width: %4px; height: %4px; padding: %6px;}")
            .arg(size)
            .arg(checked, unchecked)
            .arg(size - 2)
            .arg(padding)
            .arg(padding + 1)
            .arg(argb(borderColor), argb(backgroundColor)));
    if (auto* push = qobject_cast<QPushButton*>(button))
        push->setFlat(true);
}

void styleIconButton(QPushButton* button, const QString& iconName, int padding)
{
    button->setStyleSheet(QStringLiteral("QPushButton { image: url(%3); padding: %1px; border: 1px solid transparent; }"
                                         "QPushButton:pressed {  padding: %2px; }")
                              .arg(padding)
                              .arg(padding + 1)
                              .arg(themedIconPath(iconName)));
}

void styleFramedIconButton(QPushButton* button, const QString& iconName, int padding, const QColor& background,
                           const QColor& border)
{
    button->setStyleSheet(QStringLiteral("QPushButton { image: url(%5); padding: %1px; border: 1px solid %4; "
                                         "border-radius: 4px; background: %3 }"
                                         "QPushButton:pressed {  padding: %2px; }")
                              .arg(padding)
                              .arg(padding + 1)
                              .arg(argb(background), argb(border), themedIconPath(iconName)));
}

void styleComboBox(QComboBox* combo, int pointSize)
{
    combo->setStyleSheet(
        QStringLiteral("QListView { margin-left: 0px; margin-top: 0px; background: #ee666666; color: white; "
                       "border:1px solid #66ffffff; border-radius: 5px; padding: 3px 3px 3px 3px;  }"
                       "QComboBox { margin-left: 3px; margin-right: 3px; font-size: %1pt; font-weight: 600; "
                       "combobox-popup: 0; background:transparent; color: %2; padding: 3px 3px 3px 3px; "
                       "min-width: 100px;}"
                       "QComboBox:!enabled { background: gray; }"
                       "QComboBox {   selection-background-color: transparent;   selection-color: %2;}")
            .arg(pointSize)
            .arg(argb(color(5))));
}

void styleTextButton(QPushButton* button, int pointSize, const QString& background, const QString& color,
                     const QString& border, int weight, const QString& padding)
{
    button->setStyleSheet(QStringLiteral("QPushButton { font-size: %1pt; background: %2; color: %3; "
                                         "border: 1px solid %4; border-radius: 10px; font-weight: %5; "
                                         "padding: %6; }"
                                         "QPushButton:pressed { color: #2B74D6; }"
                                         "QPushButton:disabled { color: %7; }")
                              .arg(pointSize)
                              .arg(background, color, border)
                              .arg(weight)
                              .arg(padding, argb(gui::color(8))));
}

void styleTextField(QWidget* field, int pointSize, const QString& background, const QString& color,
                    const QString& border, int weight)
{
    field->setStyleSheet(QStringLiteral("QTextEdit, QLineEdit, QLabel {padding: 1px; font-size: %1pt; "
                                        "background: %2 ; color: %3; border: %4; border-radius: 5px; "
                                        "font-weight: %5; }")
                             .arg(pointSize)
                             .arg(background, color, border)
                             .arg(weight));
}

} // namespace gui
