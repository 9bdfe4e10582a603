#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>
#include <QString>

class DeviceControl;
class QLabel;
class SerialDeviceWidget;

namespace Ui {
class MainWindow;
}

// The fixed 800 x 480 window: serial panel, brightness area, version
// information and work-mode area, plus the status bar. It checks the model of
// every device the serial panel opens and enables the two control areas only
// for a recognised one.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    SerialDeviceWidget *serialDevice() const;

private slots:
    void updateDeviceControl(DeviceControl *devCtrl);
    void showStatusInfo(const QString &text);

private:
    bool onGetDeviceModel();
    void onGetDeviceVersion();

    Ui::MainWindow *ui;
    QLabel *m_statusLabel;
    DeviceControl *m_devCtrl;
};

#endif // MAINWINDOW_H
