#include "panels/TriggerModeWidget.h"
#include "ui_TriggerModeWidget.h"

#include "DeviceControl.h"
#include "panels/PanelLog.h"

#include <cstdint>

TriggerModeWidget::TriggerModeWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::TriggerModeWidget)
    , m_devCtrl(nullptr)
{
    ui->setupUi(this);
}

TriggerModeWidget::~TriggerModeWidget()
{
    delete ui;
}

void TriggerModeWidget::updateDeviceControl(DeviceControl *devCtrl)
{
    panelLogDebug("TriggerModeWidget::updateDeviceControl");
    m_devCtrl = devCtrl;
}

// Widgets are filled with their signals live: a value that changes is written
// back once. A failed read leaves its widget alone.
void TriggerModeWidget::onWorkModeInit()
{
    panelLogDebug("TriggerModeWidget::onWorkModeInit");
    if (m_devCtrl == nullptr) {
        return;
    }
    uint8_t enable = 0;
    if (m_devCtrl->getTriggerModeOutputEnable(&enable)) {
        ui->cbOutputEnable->setChecked(enable != 0);
    }
    uint16_t delay = 0;
    if (m_devCtrl->getTriggerModeDelayTime(&delay)) {
        ui->sbDelayTime->setValue(delay);
    }
    uint16_t high = 0;
    if (m_devCtrl->getTriggerModeHighTime(&high)) {
        ui->sbHighTime->setValue(high);
    }
    uint16_t low = 0;
    if (m_devCtrl->getTriggerModeLowTime(&low)) {
        ui->sbLowTime->setValue(low);
    }
    uint8_t num = 0;
    if (m_devCtrl->getTriggerModePulseNum(&num)) {
        ui->sbPulseNum->setValue(num);
    }
}

// The device's work mode is not checked here: the switcher set mode 3 when
// this tab was selected.
void TriggerModeWidget::on_pbTriggerOnce_clicked()
{
    panelLogDebug("TriggerModeWidget::on_pbTriggerOnce_clicked");
    if (m_devCtrl != nullptr) {
        m_devCtrl->onTriggerModeTrigger();
    }
}

void TriggerModeWidget::on_cbOutputEnable_stateChanged(int arg1)
{
    panelLogDebugArg("TriggerModeWidget::on_cbOutputEnable_stateChanged", "arg1", arg1);
    if (m_devCtrl != nullptr) {
        m_devCtrl->setTriggerModeOutputEnable(arg1 != Qt::Unchecked);
    }
}

void TriggerModeWidget::on_sbDelayTime_valueChanged(int arg1)
{
    panelLogDebugArg("TriggerModeWidget::on_sbDelayTime_valueChanged", "arg1", arg1);
    if (m_devCtrl != nullptr) {
        m_devCtrl->setTriggerModeDelayTime(static_cast<uint16_t>(arg1));
    }
}

void TriggerModeWidget::on_sbHighTime_valueChanged(int arg1)
{
    panelLogDebugArg("TriggerModeWidget::on_sbHighTime_valueChanged", "arg1", arg1);
    if (m_devCtrl != nullptr) {
        m_devCtrl->setTriggerModeHighTime(static_cast<uint16_t>(arg1));
    }
}

void TriggerModeWidget::on_sbLowTime_valueChanged(int arg1)
{
    panelLogDebugArg("TriggerModeWidget::on_sbLowTime_valueChanged", "arg1", arg1);
    if (m_devCtrl != nullptr) {
        m_devCtrl->setTriggerModeLowTime(static_cast<uint16_t>(arg1));
    }
}

void TriggerModeWidget::on_sbPulseNum_valueChanged(int arg1)
{
    panelLogDebugArg("TriggerModeWidget::on_sbPulseNum_valueChanged", "arg1", arg1);
    if (m_devCtrl != nullptr) {
        // The spin box keeps the count within 0..100: the low byte is all of it.
        m_devCtrl->setTriggerModePulseNum(static_cast<uint8_t>(arg1 & 0xFF));
    }
}
