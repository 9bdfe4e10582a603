#pragma once

#include <QWidget>

// The round over-temperature indicator at the end of a brightness row: green
// while the channel is in order, red while it is over temperature, grey while
// the last temperature read failed and the state is not known.
class StatusWidget : public QWidget
{
    Q_OBJECT

public:
    explicit StatusWidget(QWidget *parent = nullptr);

    // Sets a known alarm state; the caller repaints.
    void setAlarm(bool alarm);
    // Marks the state unknown until the next setAlarm().
    void setUnknown();

    bool alarm() const { return m_alarm; }
    bool isKnown() const { return m_known; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_alarm;
    bool m_known;
};
