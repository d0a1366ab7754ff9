#include "SettingRow.h"

#include <QAbstractButton>
#include <QDebug>
#include <QLabel>
#include <QSignalBlocker>
#include <QSlider>

QString formatSettingValue(const QString& unitTag, const CameraSetting& record, int value)
{
    if (unitTag == QLatin1String("TEMP"))
        return QStringLiteral("%1K").arg(value);
    if (unitTag == QLatin1String("PERC") || unitTag == QLatin1String("SKIN")) {
        if (record.maximum <= record.minimum)
            return {};
        return QStringLiteral("%1%").arg(
            int((qint64(value) - record.minimum) * 100 / (qint64(record.maximum) - record.minimum)));
    }
    if (unitTag == QLatin1String("ROT")) {
        static const char* const names[] = {"", "Vertical", "Crop"};
        return value >= 0 && value < 3 ? QString::fromLatin1(names[value]) : QString();
    }
    if (unitTag == QLatin1String("DEG"))
        return QStringLiteral("%1°").arg(value * 0.5, 0, 'f', 1);
    if (unitTag.startsWith(u'[') && unitTag.endsWith(u']')) {
        const QStringList entries = unitTag.mid(1, unitTag.size() - 2).split(u',');
        return value >= 0 && value < entries.size() ? entries[value].trimmed() : QStringLiteral("ERROR!");
    }
    return {};
}

QString settingRowText(const QString& unitTag, const CameraSetting& record, int value, bool toggleEnabled,
                       bool toggleChecked)
{
    if (toggleEnabled && !toggleChecked && record.autoSupported)
        return QStringLiteral("Auto");
    const QString formatted = formatSettingValue(unitTag, record, value);
    if (toggleEnabled && !toggleChecked)
        return QStringLiteral("Default%1%2").arg(formatted.isEmpty() ? QString() : QStringLiteral(": "), formatted);
    return formatted;
}

SettingRow::SettingRow(const QString& name, const QString& label, const QString& unitTag, const CameraSetting& record,
                       Setter setter, QAbstractButton* toggle, QSlider* slider, QLabel* valueLabel, QObject* parent)
    : QObject(parent)
    , _name(name)
    , _label(label)
    , _unit(unitTag)
    , _record(record)
    , _setter(std::move(setter))
    , _toggle(toggle)
    , _slider(slider)
    , _value(valueLabel)
{
    const bool usable = record.maximum > record.minimum;
    _slider->setRange(record.minimum, std::max(record.maximum, record.minimum));
    _slider->setSingleStep(std::max(1, int(record.step)));
    _slider->setPageStep(std::max(1, (record.maximum - record.minimum) / 10));
    {
        const QSignalBlocker blockSlider(_slider);
        const QSignalBlocker blockToggle(_toggle);
        _slider->setValue(record.value);
        _toggle->setChecked(record.autoSupported ? !record.autoMode : record.value != record.defaultValue);
    }
    _toggle->setEnabled(usable);
    _slider->setEnabled(usable && _toggle->isChecked());
    _toggle->setAccessibleName(_label);
    _slider->setAccessibleName(_label);
    updateText();
    connect(_toggle, &QAbstractButton::toggled, this, [this] { apply(true); });
    connect(_slider, &QSlider::valueChanged, this, [this] { apply(false); });
}

void SettingRow::apply(bool fromToggle)
{
    const bool manual = _toggle->isEnabled() && _toggle->isChecked();
    const bool wasEnabled = _slider->isEnabled();
    _slider->setEnabled(manual);
    if (fromToggle && wasEnabled && !manual && !_record.autoSupported) {
        const QSignalBlocker block(_slider);
        _slider->setValue(_record.defaultValue);
    }
    const bool autoMode = _toggle->isEnabled() && !_toggle->isChecked() && _record.autoSupported;
    if (_setter && !_setter(_slider->value(), autoMode))
        qDebug() << "Error setting " + _name;
    updateText();
}

void SettingRow::updateText()
{
    const QString text = settingRowText(_unit, _record, _slider->value(), _toggle->isEnabled(), _toggle->isChecked());
    _value->setText(text);
    _slider->setAccessibleDescription(text);
    _toggle->setAccessibleDescription(text);
}

void SettingRow::showExternalValue(int value, bool autoMode)
{
    const QSignalBlocker blockSlider(_slider);
    const QSignalBlocker blockToggle(_toggle);
    _slider->setValue(value);
    if (_record.autoSupported)
        _toggle->setChecked(!autoMode);
    _slider->setEnabled(_toggle->isEnabled() && _toggle->isChecked());
    updateText();
}
