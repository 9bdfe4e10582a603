#include "panels/EdgeModeWidget.h"
#include "ui_EdgeModeWidget.h"

#include "DeviceControl.h"
#include "panels/LedChannels.h"
#include "panels/PanelLog.h"

#include <cstdint>

EdgeModeWidget::EdgeModeWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::EdgeModeWidget)
    , m_devCtrl(nullptr)
{
    ui->setupUi(this);
}

EdgeModeWidget::~EdgeModeWidget()
{
    delete ui;
}

void EdgeModeWidget::updateDeviceControl(DeviceControl *devCtrl)
{
    panelLogDebug("EdgeModeWidget::updateDeviceControl");
    m_devCtrl = devCtrl;
    if (devCtrl == nullptr) {
        return;
    }
    QLabel *const labels[kLedChannelCount] = {ui->lbLedId0, ui->lbLedId1, ui->lbLedId2,
                                              ui->lbLedId3};
    for (int id = 0; id < kLedChannelCount; ++id) {
        labels[id]->setText(QString::fromLatin1(kLedChannelNames[id]));
    }
}

// Spin boxes are filled with their signals live: a value that changes is
// written back once. A failed read leaves its spin box alone.
void EdgeModeWidget::onWorkModeInit()
{
    panelLogDebug("EdgeModeWidget::onWorkModeInit");
    if (m_devCtrl == nullptr) {
        return;
    }
    uint16_t delay = 0;
    if (m_devCtrl->getEdgeModeDelayTime(&delay)) {
        ui->sbDelayTime->setValue(delay);
    }
    QSpinBox *const pulses[kLedChannelCount] = {ui->sbPulseTime0, ui->sbPulseTime1,
                                                ui->sbPulseTime2, ui->sbPulseTime3};
    for (int id = 0; id < kLedChannelCount; ++id) {
        uint16_t pulse = 0;
        if (m_devCtrl->getEdgeModePulseTime(id, &pulse)) {
            pulses[id]->setValue(pulse);
        }
    }
}

void EdgeModeWidget::on_sbDelayTime_valueChanged(int arg1)
{
    panelLogDebugArg("EdgeModeWidget::on_sbDelayTime_valueChanged", "arg1", arg1);
    if (m_devCtrl != nullptr) {
        m_devCtrl->setEdgeModeDelayTime(static_cast<uint16_t>(arg1));
    }
}

void EdgeModeWidget::on_sbPulseTime0_valueChanged(int arg1)
{
    writePulseTime("EdgeModeWidget::on_sbPulseTime0_valueChanged", 0, arg1);
}

void EdgeModeWidget::on_sbPulseTime1_valueChanged(int arg1)
{
    writePulseTime("EdgeModeWidget::on_sbPulseTime1_valueChanged", 1, arg1);
}

void EdgeModeWidget::on_sbPulseTime2_valueChanged(int arg1)
{
    writePulseTime("EdgeModeWidget::on_sbPulseTime2_valueChanged", 2, arg1);
}

void EdgeModeWidget::on_sbPulseTime3_valueChanged(int arg1)
{
    writePulseTime("EdgeModeWidget::on_sbPulseTime3_valueChanged", 3, arg1);
}

void EdgeModeWidget::writePulseTime(const char *func, int ledId, int value)
{
    panelLogDebugArg(func, "arg1", value);
    if (m_devCtrl != nullptr) {
        m_devCtrl->setEdgeModePulseTime(ledId, static_cast<uint16_t>(value));
    }
}
