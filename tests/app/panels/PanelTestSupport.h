#pragma once

// Shared by the panel tests: the virtual light source on a pseudo-terminal
// with the program's DeviceControl opened on it, and frames as hex text.

#include "../StampedLines.h"

#include "DeviceControl.h"
#include "VirtualLightSource.h"
#include "cmdpkg.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QSignalSpy>
#include <QStringList>
#include <QtTest>

#include <cstdint>
#include <initializer_list>

// The frame a request must have on the wire, built here rather than by the
// product's codec: 55 AA, code high/low, length, payload, 8-bit sum, FA.
inline QString frame(uint16_t cmd, std::initializer_list<int> payload = {})
{
    QByteArray bytes;
    unsigned sum = (cmd >> 8) + (cmd & 0xFFu) + static_cast<unsigned>(payload.size());
    bytes.append('\x55').append('\xAA');
    bytes.append(static_cast<char>(cmd >> 8)).append(static_cast<char>(cmd & 0xFF));
    bytes.append(static_cast<char>(payload.size()));
    for (int b : payload) {
        bytes.append(static_cast<char>(b));
        sum += static_cast<unsigned>(b);
    }
    bytes.append(static_cast<char>(sum & 0xFFu)).append('\xFA');
    return QString::fromLatin1(bytes.toHex(' '));
}

inline SimOptions fixedTempOptions()
{
    SimOptions opts;
    opts.fixedTemps = true;
    return opts;
}

// The light source and the program's one DeviceControl, opened on it.
class SimLink
{
public:
    explicit SimLink(const SimOptions &opts = fixedTempOptions())
        : sim(opts)
    {
    }
    ~SimLink()
    {
        if (dev.isOpen())
            dev.close();
        sim.stop();
    }

    bool open() { return sim.start() && dev.open(sim.portPath().c_str()); }

    // The frames the device received since the last call, as hex text.
    // Writes return before the device has them, so a work-mode read is made
    // first with the faults off: once its reply is in, everything sent
    // before it has arrived. That read itself is left out.
    QStringList takeFrames()
    {
        const SimFaults faults = sim.faults();
        sim.setFaults(SimFaults());
        int mode = 0;
        const bool synced = dev.getWorkMode(&mode);
        sim.setFaults(faults);
        std::vector<CmdPkg> pkgs = sim.receivedFrames();
        sim.clearReceivedFrames();
        if (synced && !pkgs.empty())
            pkgs.pop_back();
        else
            return {QStringLiteral("no sync")};
        QStringList out;
        for (const CmdPkg &pkg : pkgs) {
            uint8_t buf[kCmdPkgFrameBufSize] = {};
            CMDPKG_CreateBytes(&pkg, buf);
            out << QString::fromLatin1(
                QByteArray(reinterpret_cast<const char *>(buf + 1), buf[0]).toHex(' '));
        }
        return out;
    }

    VirtualLightSource sim;
    DeviceControl dev;
};

inline QStringList spyTexts(const QSignalSpy &spy)
{
    QStringList out;
    for (const QList<QVariant> &args : spy)
        out << args.at(0).toString();
    return out;
}

// Sends keys as a user types them into a spin box: the shown text is
// selected first, so the keys replace it.
inline void typeInto(QAbstractSpinBox *box, const QString &keys)
{
    box->selectAll();
    QTest::keyClicks(box, keys);
}

// Like QTEST_MAIN, with standard output unbuffered as in the program, so the
// captured log is complete the moment a slot returns.
#define PANEL_TEST_MAIN(TestClass)                                                                \
    int main(int argc, char **argv)                                                               \
    {                                                                                             \
        setbuf(stdout, nullptr);                                                                  \
        QApplication app(argc, argv);                                                             \
        TestClass tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                \
        return QTest::qExec(&tc, argc, argv);                                                     \
    }
