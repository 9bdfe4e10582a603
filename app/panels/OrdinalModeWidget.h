#pragma once

#include <QWidget>

namespace Ui {
class OrdinalModeWidget;
}

class DeviceControl;

// The sequence-mode page: the program offers no settings for this mode.
class OrdinalModeWidget : public QWidget
{
    Q_OBJECT

public:
    explicit OrdinalModeWidget(QWidget *parent = nullptr);
    ~OrdinalModeWidget() override;

public slots:
    void updateDeviceControl(DeviceControl *devCtrl);
    void onWorkModeInit();

private:
    Ui::OrdinalModeWidget *ui;
    DeviceControl *m_devCtrl;
};
