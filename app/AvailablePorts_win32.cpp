#include "AvailablePorts.h"

#include "SerialPorts.h"

#include <QIODevice>

namespace {

// Stands where a QSerialPort would: never opened, so nothing is ever read
// from or written to it.
class UnopenedPort : public QIODevice
{
public:
    using QIODevice::QIODevice;

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64) override { return -1; }
};

} // namespace

QStringList availablePortNames()
{
    QStringList names;
    for (const std::string &name : listSerialPorts())
        names << QString::fromStdString(name);
    return names;
}

QIODevice *createUnopenedPort(QObject *parent)
{
    return new UnopenedPort(parent);
}
