#include "AvailablePorts.h"

#include <QSerialPort>
#include <QSerialPortInfo>

QStringList availablePortNames()
{
    QStringList names;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        names << info.portName();
    return names;
}

QIODevice *createUnopenedPort(QObject *parent)
{
    return new QSerialPort(parent);
}
