#pragma once

#include "CameraSetting.h"

#include <QObject>
#include <QString>

#include <functional>

class DraggableFrame;
class QAbstractButton;
class QLabel;
class QSlider;

// The text a setting row shows for `value` of `record`, by the row's unit tag:
// "TEMP" "5000K", "PERC"/"SKIN" the place in the range as "%", "ROT" the
// rotation's name, "DEG" half-degree steps, "[A, B, ...]" the entry at the
// value's index ("ERROR!" beyond them); empty for other tags and for a
// percentage of an empty range.
QString formatSettingValue(const QString& unitTag, const CameraSetting& record, int value);

// A row's label text: "Auto" while automatic, "Default: <value>" while at its
// default, else the formatted value.
QString settingRowText(const QString& unitTag, const CameraSetting& record, int value, bool toggleEnabled,
                       bool toggleChecked);

// The behaviour of one setting row: its toggle (checked: the user's value;
// unchecked: automatic where the setting has an automatic mode, else its
// default), its slider and its value label, tied to the setter of what the
// row adjusts. A row whose range is empty is shown disabled.
class SettingRow : public QObject
{
    Q_OBJECT
public:
    using Setter = std::function<bool(long value, bool autoMode)>;

    SettingRow(const QString& name, const QString& label, const QString& unitTag, const CameraSetting& record,
               Setter setter, QAbstractButton* toggle, QSlider* slider, QLabel* valueLabel, QObject* parent);

    // Shows a value that changed elsewhere (the light panel's report), without
    // calling the setter.
    void showExternalValue(int value, bool autoMode);

private:
    void apply(bool fromToggle);
    void updateText();

    QString _name;
    QString _label;
    QString _unit;
    CameraSetting _record;
    Setter _setter;
    QAbstractButton* _toggle;
    QSlider* _slider;
    QLabel* _value;
};
