#pragma once

#include <QWidget>

namespace Ui {
class BrightAdjustWidget;
}

// One channel row of the brightness panel: name, slider and spin box for the
// brightness, enable box, temperature and alarm indicator.
class BrightAdjustWidget : public QWidget
{
    Q_OBJECT

public:
    explicit BrightAdjustWidget(const QString &name, QWidget *parent = nullptr);
    ~BrightAdjustWidget() override;

    bool isChecked() const;
    int value() const;
    void setChecked(bool checked);
    void setValue(int value);
    void setTempValue(float temp);
    void setAlarmStatus(bool alarm);
    // The last temperature read failed: show neither a temperature nor an
    // alarm state until the next good read.
    void setTempUnknown();

signals:
    void enableChanged(bool enable);
    void valueChanged(int value);

private slots:
    void on_chkEnable_stateChanged(int arg1);
    void on_sldValue_valueChanged(int value);
    void on_spbValue_valueChanged(int arg1);

private:
    Ui::BrightAdjustWidget *ui;
    int m_value;
};
