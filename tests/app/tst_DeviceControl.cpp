// DeviceControl against a stub library: every operation's null line, failure
// line, forwarded arguments and result, and the close paths.
#include "DeviceControl.h"
#include "LogTimestamp.h"
#include "StampedLines.h"
#include "StubLightKit.h"

#include <QtTest>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Operation
{
    const char *name;
    int nullLine;
    int failLine;
    const char *exportName;
    std::function<bool(DeviceControl &)> invoke;
    const char *call; // what the library must see when the device is open
};

uint8_t u8;
uint16_t u16;
uint32_t u32;
int mode;
float temp;

const std::vector<Operation> &operations()
{
    static const std::vector<Operation> table = {
        {"setWorkMode", 83, 85, "DALUSDK_SetWorkMode", [](DeviceControl &d) { return d.setWorkMode(4); }, "SetWorkMode(h,4)"},
        {"setGlobalEnable", 91, 93, "DALUSDK_SetGlobalEnable", [](DeviceControl &d) { return d.setGlobalEnable(true); }, "SetGlobalEnable(h,1)"},
        {"getWorkMode", 99, 101, "DALUSDK_GetWorkMode", [](DeviceControl &d) { return d.getWorkMode(&mode); }, "GetWorkMode(h,out)"},
        {"getGlobalEnable", 107, 109, "DALUSDK_GetGlobalEnable", [](DeviceControl &d) { return d.getGlobalEnable(&u8); }, "GetGlobalEnable(h,out)"},
        {"setLedChecked", 115, 117, "DALUSDK_SetLedChecked", [](DeviceControl &d) { return d.setLedChecked(3, true); }, "SetLedChecked(h,3,1)"},
        {"setLedBrightness", 123, 125, "DALUSDK_SetLedBrightness", [](DeviceControl &d) { return d.setLedBrightness(2, 77); }, "SetLedBrightness(h,2,77)"},
        {"getLedChecked", 131, 133, "DALUSDK_GetLedChecked", [](DeviceControl &d) { return d.getLedChecked(1, &u8); }, "GetLedChecked(h,1,out)"},
        {"getLedBrightness", 139, 141, "DALUSDK_GetLedBrightness", [](DeviceControl &d) { return d.getLedBrightness(0, &u16); }, "GetLedBrightness(h,0,out)"},
        {"setTtlModeOutputEnable", 147, 149, "DALUSDK_ModeTtl_SetOutputEnable", [](DeviceControl &d) { return d.setTtlModeOutputEnable(false); }, "ModeTtl_SetOutputEnable(h,0)"},
        {"setTtlModeDelayTime", 155, 157, "DALUSDK_ModeTtl_SetDelayTime", [](DeviceControl &d) { return d.setTtlModeDelayTime(5000); }, "ModeTtl_SetDelayTime(h,5000)"},
        {"getTtlModeOutputEnable", 163, 165, "DALUSDK_ModeTtl_GetOutputEnable", [](DeviceControl &d) { return d.getTtlModeOutputEnable(&u8); }, "ModeTtl_GetOutputEnable(h,out)"},
        {"getTtlModeDelayTime", 171, 173, "DALUSDK_ModeTtl_GetDelayTime", [](DeviceControl &d) { return d.getTtlModeDelayTime(&u16); }, "ModeTtl_GetDelayTime(h,out)"},
        {"setEdgeModeDelayTime", 179, 181, "DALUSDK_ModeEdge_SetDelayTime", [](DeviceControl &d) { return d.setEdgeModeDelayTime(1); }, "ModeEdge_SetDelayTime(h,1)"},
        {"setEdgeModePulseTime", 187, 189, "DALUSDK_ModeEdge_SetPulseTime", [](DeviceControl &d) { return d.setEdgeModePulseTime(1, 1200); }, "ModeEdge_SetPulseTime(h,1,1200)"},
        {"getEdgeModeDelayTime", 195, 197, "DALUSDK_ModeEdge_GetDelayTime", [](DeviceControl &d) { return d.getEdgeModeDelayTime(&u16); }, "ModeEdge_GetDelayTime(h,out)"},
        {"getEdgeModePulseTime", 203, 205, "DALUSDK_ModeEdge_GetPulseTime", [](DeviceControl &d) { return d.getEdgeModePulseTime(2, &u16); }, "ModeEdge_GetPulseTime(h,2,out)"},
        {"setTriggerModeOutputEnable", 211, 213, "DALUSDK_ModeTrigger_SetOutputEnable", [](DeviceControl &d) { return d.setTriggerModeOutputEnable(true); }, "ModeTrigger_SetOutputEnable(h,1)"},
        {"setTriggerModeDelayTime", 219, 221, "DALUSDK_ModeTrigger_SetDelayTime", [](DeviceControl &d) { return d.setTriggerModeDelayTime(65535); }, "ModeTrigger_SetDelayTime(h,65535)"},
        {"setTriggerModeHighTime", 227, 229, "DALUSDK_ModeTrigger_SetHighTime", [](DeviceControl &d) { return d.setTriggerModeHighTime(20); }, "ModeTrigger_SetHighTime(h,20)"},
        {"setTriggerModeLowTime", 235, 237, "DALUSDK_ModeTrigger_SetLowTime", [](DeviceControl &d) { return d.setTriggerModeLowTime(0); }, "ModeTrigger_SetLowTime(h,0)"},
        {"setTriggerModePulseNum", 243, 245, "DALUSDK_ModeTrigger_SetPulseNum", [](DeviceControl &d) { return d.setTriggerModePulseNum(255); }, "ModeTrigger_SetPulseNum(h,255)"},
        {"onTriggerModeTrigger", 251, 253, "DALUSDK_ModeTrigger_OnTrigger", [](DeviceControl &d) { return d.onTriggerModeTrigger(); }, "ModeTrigger_OnTrigger(h)"},
        {"getTriggerModeOutputEnable", 259, 261, "DALUSDK_ModeTrigger_GetOutputEnable", [](DeviceControl &d) { return d.getTriggerModeOutputEnable(&u8); }, "ModeTrigger_GetOutputEnable(h,out)"},
        {"getTriggerModeDelayTime", 267, 269, "DALUSDK_ModeTrigger_GetDelayTime", [](DeviceControl &d) { return d.getTriggerModeDelayTime(&u16); }, "ModeTrigger_GetDelayTime(h,out)"},
        {"getTriggerModeHighTime", 275, 277, "DALUSDK_ModeTrigger_GetHighTime", [](DeviceControl &d) { return d.getTriggerModeHighTime(&u16); }, "ModeTrigger_GetHighTime(h,out)"},
        {"getTriggerModeLowTime", 283, 285, "DALUSDK_ModeTrigger_GetLowTime", [](DeviceControl &d) { return d.getTriggerModeLowTime(&u16); }, "ModeTrigger_GetLowTime(h,out)"},
        {"getTriggerModePulseNum", 291, 293, "DALUSDK_ModeTrigger_GetPulseNum", [](DeviceControl &d) { return d.getTriggerModePulseNum(&u8); }, "ModeTrigger_GetPulseNum(h,out)"},
        {"getLedTempStatus", 299, 301, "DALUSDK_GetLedTempStatus", [](DeviceControl &d) { return d.getLedTempStatus(3, &temp, &u8); }, "GetLedTempStatus(h,3,out,out)"},
        {"getDeviceSofewareVersion", 323, 325, "DALUSDK_GetDeviceSofewareVersion", [](DeviceControl &d) { return d.getDeviceSofewareVersion(&u32); }, "GetDeviceSofewareVersion(h,out)"},
        {"getDeviceModel", 331, 333, "DALUSDK_GetDeviceModel", [](DeviceControl &d) { return d.getDeviceModel(&u32); }, "GetDeviceModel(h,out)"},
    };
    return table;
}

QStringList calls()
{
    QStringList out;
    for (const std::string &c : stub::calls)
        out << QString::fromStdString(c);
    return out;
}

QString nullLine(const char *op, int line)
{
    return QStringLiteral("[error] <DeviceControl::%1:%2> m_sdkHandle is null!").arg(op).arg(line);
}

} // namespace

class TestDeviceControl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { std::setbuf(stdout, nullptr); }
    void init() { stub::reset(); }

    void forwarding_data();
    void forwarding();
    void openFailureStaysClosed();
    void closeWhenClosed();
    void closeWhenDestroyFails();
    void destructor();
    void failedReadKeepsPreset();
};

void TestDeviceControl::forwarding_data()
{
    QTest::addColumn<int>("row");
    for (size_t i = 0; i < operations().size(); ++i)
        QTest::newRow(operations()[i].name) << static_cast<int>(i);
}

// Closed: the null line with its own number and no library call. Open and
// failing: the failure line with its number, export name and result. Open and
// succeeding: the arguments unchanged, true, no line.
void TestDeviceControl::forwarding()
{
    QFETCH(int, row);
    const Operation &op = operations()[static_cast<size_t>(row)];
    DeviceControl dev;
    {
        StdoutCapture out;
        QVERIFY(!op.invoke(dev));
        QCOMPARE(calls(), QStringList());
        QCOMPARE(stampedLines(out), QStringList() << nullLine(op.name, op.nullLine));
    }

    QVERIFY(dev.open("COM3"));
    stub::calls.clear();
    {
        StdoutCapture out;
        stub::result = -1;
        QVERIFY(!op.invoke(dev));
        QVERIFY(dev.isOpen());
        QCOMPARE(stampedLines(out),
                 QStringList() << QStringLiteral("[error] <DeviceControl::%1:%2> %3 failed, ret:-1!")
                                          .arg(op.name).arg(op.failLine).arg(op.exportName));
        stub::result = 7; // any non-zero result is a failure and is printed as is
        QVERIFY(!op.invoke(dev));
        QVERIFY(stampedLines(out).last().endsWith(QStringLiteral("failed, ret:7!")));

        stub::result = 0;
        const int linesBefore = stampedLines(out).size();
        QVERIFY(op.invoke(dev));
        QCOMPARE(stampedLines(out).size(), linesBefore);
        QCOMPARE(calls(), QStringList() << op.call << op.call << op.call);
    }
    stub::calls.clear();
    QVERIFY(dev.close());
}

void TestDeviceControl::openFailureStaysClosed()
{
    stub::createResult = nullptr;
    DeviceControl dev;
    StdoutCapture out;
    QVERIFY(!dev.open("/dev/ttyNothing"));
    QVERIFY(!dev.isOpen());
    QCOMPARE(calls(), QStringList() << "CreateHandle(/dev/ttyNothing)");
    QCOMPARE(stampedLines(out), QStringList() << nullLine("open", 34));
    // Still closed: a forwarding call does not reach the library.
    QVERIFY(!dev.setWorkMode(1));
    QCOMPARE(calls().size(), 1);
}

void TestDeviceControl::closeWhenClosed()
{
    DeviceControl dev;
    StdoutCapture out;
    QVERIFY(!dev.close());
    QCOMPARE(calls(), QStringList());
    QCOMPARE(stampedLines(out), QStringList() << nullLine("close", 51));
}

void TestDeviceControl::closeWhenDestroyFails()
{
    DeviceControl dev;
    QVERIFY(dev.open("COM3"));
    stub::result = -1;
    StdoutCapture out;
    QVERIFY(!dev.close());
    QVERIFY(!dev.isOpen());
    QCOMPARE(calls(), QStringList() << "CreateHandle(COM3)" << "DestroyHandle(h)");
    QCOMPARE(stampedLines(out),
             QStringList() << "[error] <DeviceControl::close:63> DALUSDK_DestroyHandle failed, ret:-1!");
    // Closed for good: the handle is not destroyed a second time.
    QVERIFY(!dev.close());
    QCOMPARE(calls().size(), 2);
    QCOMPARE(stampedLines(out).last(), nullLine("close", 51));
}

void TestDeviceControl::destructor()
{
    {
        StdoutCapture out;
        delete new DeviceControl;
        QCOMPARE(stampedLines(out), QStringList() << nullLine("close", 51));
    }
    QCOMPARE(calls(), QStringList());

    auto *dev = new DeviceControl;
    QVERIFY(dev->open("ttyUSB0"));
    StdoutCapture out;
    delete dev;
    QCOMPARE(calls(), QStringList() << "CreateHandle(ttyUSB0)" << "DestroyHandle(h)");
    QCOMPARE(stampedLines(out), QStringList());
}

void TestDeviceControl::failedReadKeepsPreset()
{
    DeviceControl dev;
    QVERIFY(dev.open("COM3"));
    stub::result = -1;
    uint32_t model = 0;
    float t = 0.0f;
    uint8_t status = 0;
    StdoutCapture out;
    QVERIFY(!dev.getDeviceModel(&model));
    QVERIFY(!dev.getLedTempStatus(0, &t, &status));
    QCOMPARE(model, 0u);
    QCOMPARE(t, 0.0f);
    QCOMPARE(status, uint8_t(0));
    stub::result = 0;
    QVERIFY(dev.getDeviceModel(&model));
    QVERIFY(dev.getLedTempStatus(0, &t, &status));
    QCOMPARE(model, 0xFFAA0800u);
    QCOMPARE(t, 36.5f);
    QCOMPARE(status, uint8_t(1));
}

QTEST_APPLESS_MAIN(TestDeviceControl)
#include "tst_DeviceControl.moc"
