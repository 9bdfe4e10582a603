#pragma once

#include <QWidget>

namespace Ui {
class TtlModeWidget;
}

class DeviceControl;

// The TTL trigger page: output enable and delay of the mode, and the device's
// global enable on a checkable button.
class TtlModeWidget : public QWidget
{
    Q_OBJECT

public:
    explicit TtlModeWidget(QWidget *parent = nullptr);
    ~TtlModeWidget() override;

public slots:
    void updateDeviceControl(DeviceControl *devCtrl);
    void onWorkModeInit();

private slots:
    void on_pbGlobalEnable_clicked(bool checked);
    void on_cbOutputEnable_stateChanged(int arg1);
    void on_sbDelayTime_valueChanged(int arg1);

private:
    Ui::TtlModeWidget *ui;
    DeviceControl *m_devCtrl;
};
