#pragma once

#include <QWidget>

namespace Ui {
class NormalModeWidget;
}

class DeviceControl;

// The standard-mode page: the mode has no parameters of its own.
class NormalModeWidget : public QWidget
{
    Q_OBJECT

public:
    explicit NormalModeWidget(QWidget *parent = nullptr);
    ~NormalModeWidget() override;

public slots:
    void updateDeviceControl(DeviceControl *devCtrl);
    void onWorkModeInit();

private:
    Ui::NormalModeWidget *ui;
    DeviceControl *m_devCtrl;
};
