#pragma once

#include <QDialog>

class QComboBox;
class QPushButton;

// The text overlay's font chooser: the families that have both a regular and a
// bold style, each shown in its own font.
class FontFamilyWidget : public QDialog
{
    Q_OBJECT
public:
    explicit FontFamilyWidget(QWidget* parent = nullptr);

    // Regular and bold are judged by the styles' weights, not their names:
    // a regular style may be called "Regular", "Book", "Roman" or "Normal".
    static QStringList familiesWithRegularAndBold();

    QString selectedFamily() const;
    void setSelectedFamily(const QString& family);

private:
    QComboBox* _families;
    QPushButton* _ok;
};
