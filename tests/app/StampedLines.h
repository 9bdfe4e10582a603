#ifndef STAMPEDLINES_H
#define STAMPEDLINES_H

#include "stdout_capture.h"

#include <QRegularExpression>
#include <QString>
#include <QStringList>

// LightConsole's own lines in what `log` caught (those that begin with the
// 24-character time stamp), with the stamp removed. Library lines carry no
// stamp. stdout must be unbuffered (as in the program), so every line is in
// the capture the moment it is printed.
inline QStringList stampedLines(const StdoutCapture &log)
{
    static const QRegularExpression stamp(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3} "));
    QStringList out;
    const QStringList lines = QString::fromStdString(log.text()).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (stamp.match(line).hasMatch())
            out << line.mid(24);
    }
    return out;
}

// The stamped lines that start with one of `prefixes` (such as "[info ] <SerialDeviceWidget").
inline QStringList stampedLinesFrom(const StdoutCapture &log, const QStringList &prefixes)
{
    QStringList out;
    for (const QString &line : stampedLines(log)) {
        for (const QString &prefix : prefixes) {
            if (line.startsWith(prefix)) {
                out << line;
                break;
            }
        }
    }
    return out;
}

#endif // STAMPEDLINES_H
