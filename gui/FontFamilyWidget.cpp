#include "FontFamilyWidget.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QHBoxLayout>
#include <QPushButton>

FontFamilyWidget::FontFamilyWidget(QWidget* parent)
    : QDialog(parent)
    , _families(new QComboBox(this))
    , _ok(new QPushButton(tr("OK"), this))
{
    setWindowTitle(tr("Select Font Family"));
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(_families, 1);
    layout->addWidget(_ok);
    for (const QString& family : familiesWithRegularAndBold()) {
        _families->addItem(family);
        _families->setItemData(_families->count() - 1, QFont(family), Qt::FontRole);
    }
    _families->setAccessibleName(tr("Font family"));
    // With no family to choose, OK would store an empty name.
    _ok->setEnabled(_families->count() > 0);
    _ok->setDefault(true);
    connect(_ok, &QPushButton::clicked, this, &QDialog::accept);
}

QStringList FontFamilyWidget::familiesWithRegularAndBold()
{
    QStringList out;
    for (const QString& family : QFontDatabase::families()) {
        bool regular = false;
        bool bold = false;
        for (const QString& style : QFontDatabase::styles(family)) {
            if (QFontDatabase::italic(family, style))
                continue;
            const int weight = QFontDatabase::weight(family, style);
            regular = regular || (weight >= QFont::Normal && weight < QFont::Medium);
            bold = bold || weight >= QFont::DemiBold;
        }
        if (regular && bold)
            out << family;
    }
    return out;
}

QString FontFamilyWidget::selectedFamily() const
{
    return _families->currentText();
}

void FontFamilyWidget::setSelectedFamily(const QString& family)
{
    // A family this system lacks ("Arial" on Debian) shows as the one the
    // font configuration puts in its place ("Liberation Sans").
    int index = _families->findText(family);
    if (index < 0)
        index = _families->findText(QFontInfo(QFont(family)).family());
    if (index >= 0)
        _families->setCurrentIndex(index);
}
