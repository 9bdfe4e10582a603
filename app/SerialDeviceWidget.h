#ifndef SERIALDEVICEWIDGET_H
#define SERIALDEVICEWIDGET_H

#include <QString>
#include <QWidget>

class DeviceControl;
class QIODevice;

namespace Ui {
class SerialDeviceWidget;
}

// The one-line panel that picks a port and opens or closes the light source
// on it. It owns the program's only DeviceControl and announces every open or
// close with deviceChanged and every user-visible outcome with
// statusInfoChanged, both synchronously on the GUI thread.
class SerialDeviceWidget : public QWidget
{
    Q_OBJECT

public:
    explicit SerialDeviceWidget(QWidget *parent = nullptr);
    ~SerialDeviceWidget() override;

    // The name in the port box, as an open click would take it.
    QString portName() const;
    void setPortName(const QString &name);
    // Does what a click on the open button does. A plain function, not a
    // slot: the panel's meta-object keeps its own five methods.
    void openPort();

signals:
    void deviceChanged(DeviceControl *devCtrl);
    void statusInfoChanged(const QString &text);

private slots:
    void on_btnPortScan_clicked();
    void on_btnPortOpen_clicked();
    void on_btnPortClose_clicked();

private:
    int onSerialPortScan();
    void onSerialPortOpen(const QString &comName);
    void onSerialPortClose();
    void setControlsOpen(bool open);

    Ui::SerialDeviceWidget *ui;
    QIODevice *m_serial; // a QSerialPort where Qt's serial-port module is built
    DeviceControl *m_devCtrl;
};

#endif // SERIALDEVICEWIDGET_H
