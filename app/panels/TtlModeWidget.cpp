#include "panels/TtlModeWidget.h"
#include "ui_TtlModeWidget.h"

#include "DeviceControl.h"
#include "panels/PanelLog.h"

#include <cstdint>

TtlModeWidget::TtlModeWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::TtlModeWidget)
    , m_devCtrl(nullptr)
{
    ui->setupUi(this);
}

TtlModeWidget::~TtlModeWidget()
{
    delete ui;
}

void TtlModeWidget::updateDeviceControl(DeviceControl *devCtrl)
{
    panelLogDebug("TtlModeWidget::updateDeviceControl");
    m_devCtrl = devCtrl;
}

// Widgets are filled with their signals live: a value that changes is written
// back once. setChecked() on the button emits no clicked(), so the global
// enable is never written back. A failed read leaves its widget alone.
void TtlModeWidget::onWorkModeInit()
{
    panelLogDebug("TtlModeWidget::onWorkModeInit");
    if (m_devCtrl == nullptr) {
        return;
    }
    uint8_t enable = 0;
    if (m_devCtrl->getGlobalEnable(&enable)) {
        ui->pbGlobalEnable->setChecked(enable != 0);
    }
    uint8_t output = 0;
    if (m_devCtrl->getTtlModeOutputEnable(&output)) {
        ui->cbOutputEnable->setChecked(output != 0);
    }
    uint16_t delay = 0;
    if (m_devCtrl->getTtlModeDelayTime(&delay)) {
        ui->sbDelayTime->setValue(delay);
    }
}

void TtlModeWidget::on_pbGlobalEnable_clicked(bool checked)
{
    panelLogDebugArg("TtlModeWidget::on_pbGlobalEnable_clicked", "checked", checked ? 1 : 0);
    if (m_devCtrl != nullptr) {
        m_devCtrl->setGlobalEnable(checked);
    }
}

void TtlModeWidget::on_cbOutputEnable_stateChanged(int arg1)
{
    panelLogDebugArg("TtlModeWidget::on_cbOutputEnable_stateChanged", "arg1", arg1);
    if (m_devCtrl != nullptr) {
        m_devCtrl->setTtlModeOutputEnable(arg1 != Qt::Unchecked);
    }
}

void TtlModeWidget::on_sbDelayTime_valueChanged(int arg1)
{
    panelLogDebugArg("TtlModeWidget::on_sbDelayTime_valueChanged", "arg1", arg1);
    if (m_devCtrl != nullptr) {
        m_devCtrl->setTtlModeDelayTime(static_cast<uint16_t>(arg1));
    }
}
