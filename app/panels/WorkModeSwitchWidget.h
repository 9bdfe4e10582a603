#pragma once

#include <QWidget>

namespace Ui {
class WorkModeSwitchWidget;
}

class DeviceControl;

// The work-mode tabs: the tab index is the device's work mode. Selecting a tab
// lets its page read its parameters, then sets the device to that mode.
class WorkModeSwitchWidget : public QWidget
{
    Q_OBJECT

public:
    explicit WorkModeSwitchWidget(QWidget *parent = nullptr);
    ~WorkModeSwitchWidget() override;

public slots:
    void updateDeviceControl(DeviceControl *devCtrl);

private slots:
    void on_twModeSwitch_currentChanged(int index);

private:
    Ui::WorkModeSwitchWidget *ui;
    DeviceControl *m_devCtrl;
};
