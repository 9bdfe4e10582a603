#pragma once

#include "panels/LedChannels.h"

#include <QString>
#include <QWidget>

class BrightAdjustWidget;
class DeviceControl;
class QTimer;

// The brightness area of the main window: one row per LED channel. Every user
// change goes to the device at once and is announced through
// statusInfoChanged; while an open device is attached, the channel
// temperatures and alarms are polled once a second.
class MultiBrightAdjustWidget : public QWidget
{
    Q_OBJECT

public:
    explicit MultiBrightAdjustWidget(QWidget *parent = nullptr);
    ~MultiBrightAdjustWidget() override;

    // Whether the temperature poll runs.
    bool isPolling() const;

signals:
    void statusInfoChanged(const QString &text);

public slots:
    void updateDeviceControl(DeviceControl *devCtrl);

private slots:
    void onLedCheckedChanged(int id);
    void onLedBrightnessChanged(int id);
    void onTimerTimeout();

private:
    BrightAdjustWidget *m_adjustWidgets[kLedChannelCount];
    DeviceControl *m_devCtrl;
    QTimer *m_timer;
};
