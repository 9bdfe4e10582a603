#include "panels/NormalModeWidget.h"
#include "ui_NormalModeWidget.h"

#include "panels/PanelLog.h"

NormalModeWidget::NormalModeWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::NormalModeWidget)
    , m_devCtrl(nullptr)
{
    ui->setupUi(this);
}

NormalModeWidget::~NormalModeWidget()
{
    delete ui;
}

void NormalModeWidget::updateDeviceControl(DeviceControl *devCtrl)
{
    panelLogDebug("NormalModeWidget::updateDeviceControl");
    m_devCtrl = devCtrl;
}

void NormalModeWidget::onWorkModeInit()
{
    panelLogDebug("NormalModeWidget::onWorkModeInit");
}
