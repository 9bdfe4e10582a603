#include "SerialDeviceWidget.h"
#include "ui_SerialDeviceWidget.h"

#include "AvailablePorts.h"
#include "DeviceControl.h"
#include "LogTimestamp.h"

#include <QIODevice>

#include <cstdio>

namespace {
constexpr int kMembersNullLine = 162;
constexpr int kOpenFailedLine = 185;
} // namespace

SerialDeviceWidget::SerialDeviceWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::SerialDeviceWidget)
    , m_serial(nullptr)
    , m_devCtrl(nullptr)
{
    ui->setupUi(this);
    m_serial = createUnopenedPort(this);
    m_devCtrl = new DeviceControl;
    onSerialPortScan();
    ui->btnPortClose->setEnabled(false);
}

SerialDeviceWidget::~SerialDeviceWidget()
{
    if (m_devCtrl) {
        m_devCtrl->close();
        delete m_devCtrl;
        m_devCtrl = nullptr;
    }
    if (m_serial) {
        m_serial->close();
        delete m_serial;
        m_serial = nullptr;
    }
    delete ui;
}

QString SerialDeviceWidget::portName() const
{
    return ui->cmbPortSelect->currentText().trimmed();
}

void SerialDeviceWidget::setPortName(const QString &name)
{
    ui->cmbPortSelect->setEditText(name);
}

void SerialDeviceWidget::openPort()
{
    ui->btnPortOpen->click();
}

int SerialDeviceWidget::onSerialPortScan()
{
    const QStringList ports = availablePortNames();
    std::fprintf(stdout, "%s[info ] <%s> SerialPortScan: %d\n", logTimestamp(),
                 "SerialDeviceWidget::onSerialPortScan", static_cast<int>(ports.size()));
    ui->cmbPortSelect->clear();
    for (int i = 0; i < ports.size(); ++i) {
        const QString &name = ports.at(i);
        ui->cmbPortSelect->addItem(name);
        std::fprintf(stdout, "%s[info ] <%s> SerialPort(%d): %s\n", logTimestamp(),
                     "SerialDeviceWidget::onSerialPortScan", i, name.toUtf8().constData());
    }
    return static_cast<int>(ports.size());
}

void SerialDeviceWidget::on_btnPortScan_clicked()
{
    const int n = onSerialPortScan();
    if (n > 0)
        emit statusInfoChanged(QString::asprintf(tr("扫描到 %d 个串口设备!").toUtf8().constData(), n));
    else
        emit statusInfoChanged(tr("串口扫描失败，未找到串口设备，请先连接串口设备!"));
}

void SerialDeviceWidget::on_btnPortOpen_clicked()
{
    // The box is editable so that ports the enumeration cannot see (a
    // pseudo-terminal, an unlisted adapter) can be typed in: a typed name
    // counts as an entry, an empty box as none.
    const QString comName = portName();
    if (comName.isEmpty()) {
        emit statusInfoChanged(tr("未找到串口设备，请先扫描串口设备!"));
        return;
    }

    onSerialPortClose();

    std::fprintf(stdout, "%s[info ] <%s> comName:%s\n", logTimestamp(),
                 "SerialDeviceWidget::on_btnPortOpen_clicked", comName.toUtf8().constData());
    onSerialPortOpen(comName);
}

void SerialDeviceWidget::onSerialPortOpen(const QString &comName)
{
    if (!m_serial || !m_devCtrl) {
        std::fprintf(stdout, "%s[error] <%s:%d> m_serial(%p) or m_devCtrl(%p) is null!\n",
                     logTimestamp(), "SerialDeviceWidget::onSerialPortOpen", kMembersNullLine,
                     static_cast<void *>(m_serial), static_cast<void *>(m_devCtrl));
        emit statusInfoChanged(tr("打开串口设备失败，请先连接串口设备，并检查是否被占用!"));
        return;
    }

    m_devCtrl->open(comName.toUtf8().constData());
    std::fprintf(stdout, "%s[info ] <%s> SerialPort opened!\n", logTimestamp(),
                 "SerialDeviceWidget::onSerialPortOpen");

    if (m_devCtrl->isOpen()) {
        std::fprintf(stdout, "%s[info ] <%s> DeviceControl opened!\n", logTimestamp(),
                     "SerialDeviceWidget::onSerialPortOpen");
        // The success text goes first so that a model or version error that
        // the main window reports while handling deviceChanged stays visible.
        emit statusInfoChanged(tr("设备已打开!"));
        emit deviceChanged(m_devCtrl);
        setControlsOpen(true);
    } else {
        std::fprintf(stdout, "%s[error] <%s:%d> DeviceControl open2 failed!\n", logTimestamp(),
                     "SerialDeviceWidget::onSerialPortOpen", kOpenFailedLine);
        emit statusInfoChanged(tr("打开串口设备失败，请先连接串口设备，并检查是否被占用!"));
    }
}

void SerialDeviceWidget::onSerialPortClose()
{
    if (m_devCtrl && m_devCtrl->isOpen()) {
        m_devCtrl->close();
        std::fprintf(stdout, "%s[info ] <%s> DeviceControl closed!!!\n", logTimestamp(),
                     "SerialDeviceWidget::onSerialPortClose");
    }
    if (m_serial && m_serial->isOpen()) {
        m_serial->close();
        std::fprintf(stdout, "%s[info ] <%s> SerialPort closed!!!\n", logTimestamp(),
                     "SerialDeviceWidget::onSerialPortClose");
    }
    emit deviceChanged(m_devCtrl);
}

void SerialDeviceWidget::on_btnPortClose_clicked()
{
    onSerialPortClose();
    setControlsOpen(false);
}

void SerialDeviceWidget::setControlsOpen(bool open)
{
    ui->cmbPortSelect->setEnabled(!open);
    ui->btnPortScan->setEnabled(!open);
    ui->btnPortOpen->setEnabled(!open);
    ui->btnPortClose->setEnabled(open);
}
