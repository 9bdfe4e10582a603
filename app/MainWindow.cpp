#include "MainWindow.h"
#include "ui_MainWindow.h"

#include "DALU_LightKit.h"
#include "DeviceControl.h"
#include "LogTimestamp.h"

#include <QLabel>

#include <cstdint>
#include <cstdio>

namespace {
constexpr unsigned int kAppVersion = 10201;
constexpr uint32_t kModelFourColour = 0xFFAA0400u;
constexpr uint32_t kModelEightColour = 0xFFAA0800u;
constexpr int kModelMismatchLine = 95;
} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
    , m_statusLabel(nullptr)
    , m_devCtrl(nullptr)
{
    ui->setupUi(this);

    setWindowTitle(tr("LED光源控制软件"));
    setFixedSize(800, 480);
    setWindowFlags(Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    m_statusLabel = new QLabel(this);
    ui->statusBar->addWidget(m_statusLabel, 0);

    ui->lblAppVersion->setText(QString::asprintf("%u", kAppVersion));

    unsigned int sdkVersion = 0;
    DALUSDK_GetSdkVersion(&sdkVersion);
    ui->lblSdkVersion->setText(QString::asprintf("%u", sdkVersion));

    ui->gbBrightAdjust->setEnabled(false);
    ui->gbModeSwitch->setEnabled(false);

    connect(ui->wdSerialDevice, &SerialDeviceWidget::deviceChanged, this,
            &MainWindow::updateDeviceControl);
    connect(ui->wdSerialDevice, &SerialDeviceWidget::statusInfoChanged, this,
            &MainWindow::showStatusInfo);
    connect(ui->wdBrightAdjust, &MultiBrightAdjustWidget::statusInfoChanged, this,
            &MainWindow::showStatusInfo);
}

MainWindow::~MainWindow()
{
    delete m_statusLabel;
    m_statusLabel = nullptr;
    delete ui;
}

SerialDeviceWidget *MainWindow::serialDevice() const
{
    return ui->wdSerialDevice;
}

void MainWindow::updateDeviceControl(DeviceControl *devCtrl)
{
    m_devCtrl = devCtrl;
    const bool open = m_devCtrl && m_devCtrl->isOpen();
    if (open) {
        if (!onGetDeviceModel())
            return;
        onGetDeviceVersion();
    }

    ui->gbBrightAdjust->setEnabled(open);
    ui->wdBrightAdjust->updateDeviceControl(m_devCtrl);

    ui->gbModeSwitch->setEnabled(open);
    ui->wdModeSwitch->updateDeviceControl(m_devCtrl);
}

void MainWindow::showStatusInfo(const QString &text)
{
    m_statusLabel->setText(text);
}

bool MainWindow::onGetDeviceModel()
{
    uint32_t model = 0;
    if (!m_devCtrl->getDeviceModel(&model)) {
        m_statusLabel->setText(tr("获取设备型号失败!"));
        return false;
    }
    std::fprintf(stdout, "%s[info ] <%s> Device model: 0x%08x\n", logTimestamp(),
                 "MainWindow::onGetDeviceModel", static_cast<unsigned int>(model));

    if (model == kModelFourColour) {
        ui->lblDeviceModel->setText(tr("4色光源"));
        return true;
    }
    if (model == kModelEightColour) {
        ui->lblDeviceModel->setText(tr("8色光源"));
        return true;
    }

    m_statusLabel->setText(QString::asprintf(tr("设备型号(0x%08x)不匹配!").toUtf8().constData(),
                                             static_cast<unsigned int>(model)));
    std::fprintf(stdout, "%s[error] <%s:%d> Device model (0x%08x) match error!\n", logTimestamp(),
                 "MainWindow::onGetDeviceModel", kModelMismatchLine,
                 static_cast<unsigned int>(model));
    return false;
}

void MainWindow::onGetDeviceVersion()
{
    uint32_t version = 0;
    if (m_devCtrl->getDeviceSofewareVersion(&version)) {
        std::fprintf(stdout, "%s[info ] <%s> Device version: %u\n", logTimestamp(),
                     "MainWindow::onGetDeviceVersion", static_cast<unsigned int>(version));
        ui->lblDeviceVersion->setText(QString::asprintf("%u", static_cast<unsigned int>(version)));
    } else {
        m_statusLabel->setText(tr("获取设备版本信息失败!"));
    }
}
