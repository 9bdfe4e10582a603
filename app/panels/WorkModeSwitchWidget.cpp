#include "panels/WorkModeSwitchWidget.h"
#include "ui_WorkModeSwitchWidget.h"

#include "DeviceControl.h"
#include "LogTimestamp.h"

#include <cstdio>

namespace {

// Tabs are in work-mode order: 0 standard ... 4 sequence.
constexpr int kWorkModeCount = 5;

// Lets the page of mode `index` read its parameters; false for no such mode.
bool initModePage(Ui::WorkModeSwitchWidget *ui, int index)
{
    switch (index) {
    case 0:
        ui->tbNormalMode->onWorkModeInit();
        return true;
    case 1:
        ui->tbTtlModeWidget->onWorkModeInit();
        return true;
    case 2:
        ui->tbEdgeModeWidget->onWorkModeInit();
        return true;
    case 3:
        ui->tbTriggerModeWidget->onWorkModeInit();
        return true;
    case 4:
        ui->tbOrdinamModeWidget->onWorkModeInit();
        return true;
    default:
        return false;
    }
}

} // namespace

WorkModeSwitchWidget::WorkModeSwitchWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::WorkModeSwitchWidget)
    , m_devCtrl(nullptr)
{
    // The form selects tab 0 before it connects the slots by name, so
    // building it reads nothing from any page.
    ui->setupUi(this);
}

WorkModeSwitchWidget::~WorkModeSwitchWidget()
{
    delete ui;
}

void WorkModeSwitchWidget::updateDeviceControl(DeviceControl *devCtrl)
{
    fprintf(stdout, "%s[debug] <%s> pDevCtrl:%p\n", logTimestamp(),
            "WorkModeSwitchWidget::updateDeviceControl", static_cast<void *>(devCtrl));
    m_devCtrl = devCtrl;
    ui->tbNormalMode->updateDeviceControl(devCtrl);
    ui->tbTtlModeWidget->updateDeviceControl(devCtrl);
    ui->tbEdgeModeWidget->updateDeviceControl(devCtrl);
    ui->tbTriggerModeWidget->updateDeviceControl(devCtrl);
    ui->tbOrdinamModeWidget->updateDeviceControl(devCtrl);

    if (devCtrl == nullptr || !devCtrl->isOpen()) {
        return;
    }
    int mode = 0;
    // Selecting the tab runs on_twModeSwitch_currentChanged only when the mode
    // differs from the tab shown; that reads the page and writes the mode back.
    // On the tab shown already the page still holds the values read from the
    // previous device, so it reads them again (the device is in that mode).
    if (devCtrl->getWorkMode(&mode) && mode >= 0 && mode < kWorkModeCount) {
        if (mode == ui->twModeSwitch->currentIndex()) {
            initModePage(ui, mode);
        } else {
            ui->twModeSwitch->setCurrentIndex(mode);
        }
    }
}

void WorkModeSwitchWidget::on_twModeSwitch_currentChanged(int index)
{
    static const char *const kFunc = "WorkModeSwitchWidget::on_twModeSwitch_currentChanged";
    fprintf(stdout, "%s[debug] <%s> index:%d\n", logTimestamp(), kFunc, index);

    if (!initModePage(ui, index)) {
        // The tab widget reports -1 once it has no tab left.
        fprintf(stdout, "%s[error] <%s:%d> Invaild mode type, index:%d\n", logTimestamp(), kFunc,
                __LINE__, index);
        return;
    }

    if (m_devCtrl != nullptr && m_devCtrl->isOpen()) {
        const bool ok = m_devCtrl->setWorkMode(index);
        fprintf(stdout, "%s[info ] <%s> SetWorkMode:%d, ret:%d\n", logTimestamp(), kFunc, index,
                ok ? 1 : 0);
    }
}
