#include "panels/StatusWidget.h"

#include <QBrush>
#include <QColor>
#include <QPainter>

StatusWidget::StatusWidget(QWidget *parent)
    : QWidget(parent)
    , m_alarm(false)
    , m_known(true)
{
}

void StatusWidget::setAlarm(bool alarm)
{
    m_alarm = alarm;
    m_known = true;
}

void StatusWidget::setUnknown()
{
    m_known = false;
}

void StatusWidget::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event);
    QPainter painter(this);
    QColor colour;
    if (!m_known) {
        colour = QColor(160, 160, 160, 255);
    } else if (m_alarm) {
        colour = QColor(250, 0, 0, 255);
    } else {
        colour = QColor(0, 250, 0, 255);
    }
    painter.setBrush(QBrush(colour, Qt::SolidPattern));
    painter.drawEllipse(2, 2, width() - 4, height() - 4);
}
