#include "panels/MultiBrightAdjustWidget.h"

#include "DeviceControl.h"
#include "panels/BrightAdjustWidget.h"

#include <QSignalMapper>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdint>

namespace {

constexpr int kPollIntervalMs = 1000;

// The status texts are printf formats taking UTF-8 strings; the temporaries
// live until the end of the full expression that formats them.
QByteArray utf8(const QString &text)
{
    return text.toUtf8();
}

} // namespace

MultiBrightAdjustWidget::MultiBrightAdjustWidget(QWidget *parent)
    : QWidget(parent)
    , m_adjustWidgets{}
    , m_devCtrl(nullptr)
    , m_timer(nullptr)
{
    auto *layout = new QVBoxLayout;
    auto *enableMapper = new QSignalMapper(this);
    auto *valueMapper = new QSignalMapper(this);

    for (int id = 0; id < kLedChannelCount; ++id) {
        auto *row = new BrightAdjustWidget(QString::fromLatin1(kLedChannelNames[id]), this);
        m_adjustWidgets[id] = row;
        layout->addWidget(row);
        connect(row, &BrightAdjustWidget::enableChanged,
                enableMapper, qOverload<>(&QSignalMapper::map));
        enableMapper->setMapping(row, id);
        connect(row, &BrightAdjustWidget::valueChanged,
                valueMapper, qOverload<>(&QSignalMapper::map));
        valueMapper->setMapping(row, id);
    }

    connect(enableMapper, &QSignalMapper::mappedInt,
            this, &MultiBrightAdjustWidget::onLedCheckedChanged);
    connect(valueMapper, &QSignalMapper::mappedInt,
            this, &MultiBrightAdjustWidget::onLedBrightnessChanged);

    m_timer = new QTimer;
    m_timer->setInterval(kPollIntervalMs);
    connect(m_timer, &QTimer::timeout, this, &MultiBrightAdjustWidget::onTimerTimeout);

    setLayout(layout);
}

MultiBrightAdjustWidget::~MultiBrightAdjustWidget()
{
    m_timer->stop();
    delete m_timer;
    m_timer = nullptr;
    for (BrightAdjustWidget *&row : m_adjustWidgets) {
        delete row;
        row = nullptr;
    }
}

bool MultiBrightAdjustWidget::isPolling() const
{
    return m_timer->isActive();
}

void MultiBrightAdjustWidget::updateDeviceControl(DeviceControl *devCtrl)
{
    m_devCtrl = devCtrl;
    if (devCtrl == nullptr || !devCtrl->isOpen()) {
        m_timer->stop();
        return;
    }

    // Rows are filled with their signals live, so a row that changes writes
    // the value it was given straight back. A failed read therefore leaves the
    // row alone: writing a preset off / 0 would switch the channel off.
    for (int id = 0; id < kLedChannelCount; ++id) {
        uint8_t checked = 0;
        if (devCtrl->getLedChecked(id, &checked)) {
            m_adjustWidgets[id]->setChecked(checked != 0);
        } else {
            emit statusInfoChanged(QString::asprintf(utf8(tr("获取设备LED(%d)使能状态失败!")).constData(), id));
        }

        uint16_t brightness = 0;
        if (devCtrl->getLedBrightness(id, &brightness)) {
            m_adjustWidgets[id]->setValue(brightness);
        } else {
            emit statusInfoChanged(QString::asprintf(utf8(tr("获取设备LED(%d)占空比失败!")).constData(), id));
        }
    }

    m_timer->start();
}

void MultiBrightAdjustWidget::onLedCheckedChanged(int id)
{
    if (m_devCtrl == nullptr) {
        return;
    }
    const bool checked = m_adjustWidgets[id]->isChecked();
    const bool ok = m_devCtrl->setLedChecked(id, checked);
    emit statusInfoChanged(QString::asprintf(utf8(tr("设置%s(%s) - %s!")).constData(),
                                             kLedChannelNames[id],
                                             utf8(checked ? tr("打开") : tr("关闭")).constData(),
                                             utf8(ok ? tr("成功") : tr("失败")).constData()));
}

void MultiBrightAdjustWidget::onLedBrightnessChanged(int id)
{
    if (m_devCtrl == nullptr) {
        return;
    }
    const int value = m_adjustWidgets[id]->value();
    const bool ok = m_devCtrl->setLedBrightness(id, static_cast<uint16_t>(value));
    emit statusInfoChanged(QString::asprintf(utf8(tr("设置%s占空比(%u) - %s!")).constData(),
                                             kLedChannelNames[id],
                                             static_cast<unsigned>(value),
                                             utf8(ok ? tr("成功") : tr("失败")).constData()));
}

void MultiBrightAdjustWidget::onTimerTimeout()
{
    if (m_devCtrl == nullptr || !m_devCtrl->isOpen()) {
        return;
    }
    for (int id = 0; id < kLedChannelCount; ++id) {
        float temp = 0.0f;
        uint8_t status = 0;
        if (m_devCtrl->getLedTempStatus(id, &temp, &status)) {
            m_adjustWidgets[id]->setTempValue(temp);
            m_adjustWidgets[id]->setAlarmStatus(status != 0);
        } else {
            // A lost reply says nothing about the channel; showing 0.00 and
            // green would hide a real alarm.
            m_adjustWidgets[id]->setTempUnknown();
            emit statusInfoChanged(QString::asprintf(utf8(tr("获取设备LED(%d)温度失败!")).constData(), id));
        }
    }
}
