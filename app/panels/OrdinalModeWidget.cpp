#include "panels/OrdinalModeWidget.h"
#include "ui_OrdinalModeWidget.h"

#include "panels/PanelLog.h"

OrdinalModeWidget::OrdinalModeWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::OrdinalModeWidget)
    , m_devCtrl(nullptr)
{
    ui->setupUi(this);
}

OrdinalModeWidget::~OrdinalModeWidget()
{
    delete ui;
}

void OrdinalModeWidget::updateDeviceControl(DeviceControl *devCtrl)
{
    panelLogDebug("OrdinalModeWidget::updateDeviceControl");
    m_devCtrl = devCtrl;
}

void OrdinalModeWidget::onWorkModeInit()
{
    // Nothing to read, and by design nothing is logged.
}
