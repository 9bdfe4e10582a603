#pragma once

#include <QWidget>

namespace Ui {
class EdgeModeWidget;
}

class DeviceControl;
class QSpinBox;

// The edge trigger page: one delay and one pulse width per LED channel.
class EdgeModeWidget : public QWidget
{
    Q_OBJECT

public:
    explicit EdgeModeWidget(QWidget *parent = nullptr);
    ~EdgeModeWidget() override;

public slots:
    void updateDeviceControl(DeviceControl *devCtrl);
    void onWorkModeInit();

private slots:
    void on_sbDelayTime_valueChanged(int arg1);
    void on_sbPulseTime0_valueChanged(int arg1);
    void on_sbPulseTime1_valueChanged(int arg1);
    void on_sbPulseTime2_valueChanged(int arg1);
    void on_sbPulseTime3_valueChanged(int arg1);

private:
    void writePulseTime(const char *func, int ledId, int value);

    Ui::EdgeModeWidget *ui;
    DeviceControl *m_devCtrl;
};
