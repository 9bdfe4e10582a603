#ifndef AVAILABLEPORTS_H
#define AVAILABLEPORTS_H

#include <QStringList>

class QIODevice;
class QObject;

// What the serial device panel takes from the machine's serial ports. Qt's
// serial-port module serves where it is built (AvailablePorts_serialport.cpp);
// the Windows build has no such module and lists the ports with the
// project's own Win32 enumeration instead (AvailablePorts_win32.cpp).

// The ports' names (COM3, ttyUSB0), in the enumeration's order.
QStringList availablePortNames();

// The port object the panel keeps but never opens (the library owns the
// line): a QSerialPort where Qt's module is built.
QIODevice *createUnopenedPort(QObject *parent);

#endif // AVAILABLEPORTS_H
