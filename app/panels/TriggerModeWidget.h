#pragma once

#include <QWidget>

namespace Ui {
class TriggerModeWidget;
}

class DeviceControl;

// The internal trigger page: output enable, delay, pulse high and low times,
// pulse count, and a button that fires one trigger.
class TriggerModeWidget : public QWidget
{
    Q_OBJECT

public:
    explicit TriggerModeWidget(QWidget *parent = nullptr);
    ~TriggerModeWidget() override;

public slots:
    void updateDeviceControl(DeviceControl *devCtrl);
    void onWorkModeInit();

private slots:
    void on_pbTriggerOnce_clicked();
    void on_cbOutputEnable_stateChanged(int arg1);
    void on_sbDelayTime_valueChanged(int arg1);
    void on_sbHighTime_valueChanged(int arg1);
    void on_sbLowTime_valueChanged(int arg1);
    void on_sbPulseNum_valueChanged(int arg1);

private:
    Ui::TriggerModeWidget *ui;
    DeviceControl *m_devCtrl;
};
