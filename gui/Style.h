#pragma once

#include <QColor>
#include <QImage>
#include <QString>

class QAbstractButton;
class QComboBox;
class QLabel;
class QPushButton;
class QSlider;
class QWidget;

// The window's look: one rounded, theme-coloured style for every control, in
// the light and dark colour schemes. Colours of the application's colour
// table come from the running App; icons from the resources under ":/assets/".
namespace gui {

// The colour of `role` in the current scheme, and whether that scheme is dark.
QColor color(int role);
bool isDarkScheme();

// A colour as a style-sheet name, alpha first ("#ff2b74d6").
QString argb(const QColor& c);

// "<path>.svg" if it exists, else "<path>.png" if it exists; otherwise the
// path unchanged, with a warning.
QString resolveAsset(const QString& path);

// An icon image for a style sheet: in the light scheme the dark-grey variant
// under ":/assets/light/", in the dark one the light image itself.
QString themedIconPath(const QString& name);

// Makes dark artwork light (each channel c becomes 255 - c where c < 128,
// weighted by alpha); in the light scheme it is then tinted: every pixel takes
// `tint` scaled by its own lightness. Alpha is kept.
QImage recolourIcon(const QImage& image, bool lightScheme, const QColor& tint);

// Shows the asset at `path` in `label`, `height` pixels high, optionally
// recoloured for the scheme. A gui::ClickableLabel gets press feedback.
void setIconLabel(QLabel* label, int height, const QString& path, bool recolour);

// The settings sliders: groove, handle and the part left of the handle.
void styleSlider(QSlider* slider, const QColor& subPage, const QColor& groove, const QColor& handle);
void styleSmallSlider(QSlider* slider, const QColor& subPage, const QColor& groove, const QColor& handle);
// Picks the slider's style by a row's unit tag: "TEMP" (colour temperature
// gradient), "SKIN" (skin-tone gradient), anything else plain.
void styleSliderForUnit(QSlider* slider, const QString& unitTag);

// A check box or push button shown as an icon: "<icon>_filled" when checked.
void styleIconToggle(QAbstractButton* button, int size, const QString& iconName, int padding, const QColor& borderColor,
                     const QColor& backgroundColor);
void styleIconButton(QPushButton* button, const QString& iconName, int padding);
void styleFramedIconButton(QPushButton* button, const QString& iconName, int padding, const QColor& background,
                           const QColor& border);

void styleComboBox(QComboBox* combo, int pointSize);
void styleTextButton(QPushButton* button, int pointSize, const QString& background, const QString& color,
                     const QString& border, int weight, const QString& padding);
void styleTextField(QWidget* field, int pointSize, const QString& background, const QString& color,
                    const QString& border, int weight);

} // namespace gui
