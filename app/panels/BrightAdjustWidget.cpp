#include "panels/BrightAdjustWidget.h"
#include "ui_BrightAdjustWidget.h"

BrightAdjustWidget::BrightAdjustWidget(const QString &name, QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::BrightAdjustWidget)
    , m_value(0)
{
    ui->setupUi(this);
    ui->lblName->setText(name);
}

BrightAdjustWidget::~BrightAdjustWidget()
{
    delete ui;
}

bool BrightAdjustWidget::isChecked() const
{
    return ui->chkEnable->isChecked();
}

int BrightAdjustWidget::value() const
{
    return ui->spbValue->value();
}

void BrightAdjustWidget::setChecked(bool checked)
{
    ui->chkEnable->setChecked(checked);
}

void BrightAdjustWidget::setValue(int value)
{
    ui->spbValue->setValue(value);
}

void BrightAdjustWidget::setTempValue(float temp)
{
    ui->spbTempValue->setValue(static_cast<double>(temp));
}

void BrightAdjustWidget::setAlarmStatus(bool alarm)
{
    ui->wdAlarmStatus->setAlarm(alarm);
    ui->wdAlarmStatus->repaint();
}

void BrightAdjustWidget::setTempUnknown()
{
    // clear() empties the text but keeps the value; the next setValue()
    // rewrites the text even when the value is the same.
    ui->spbTempValue->clear();
    ui->wdAlarmStatus->setUnknown();
    ui->wdAlarmStatus->repaint();
}

void BrightAdjustWidget::on_chkEnable_stateChanged(int arg1)
{
    emit enableChanged(arg1 != Qt::Unchecked);
}

// Slider and spin box mirror each other. Whichever changes first sets the
// other, whose slot announces and records the value; back in the first slot
// the value equals m_value and nothing is announced twice.
void BrightAdjustWidget::on_sldValue_valueChanged(int value)
{
    ui->spbValue->setValue(value);
    if (value != m_value) {
        emit valueChanged(value);
    }
    m_value = value;
}

void BrightAdjustWidget::on_spbValue_valueChanged(int arg1)
{
    ui->sldValue->setValue(arg1);
    if (arg1 != m_value) {
        emit valueChanged(arg1);
    }
    m_value = arg1;
}
