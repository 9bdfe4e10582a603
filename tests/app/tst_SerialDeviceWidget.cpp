// The serial device panel on its own, against the virtual light source.
#include "AvailablePorts.h"
#include "ConsoleTestSupport.h"
#include "DALU_LightKit.h"
#include "DeviceControl.h"
#include "SerialDeviceWidget.h"
#include "StampedLines.h"
#include "VirtualLightSource.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <memory>

namespace {

const QString kOpenedText = QStringLiteral("设备已打开!");
const QString kOpenFailedText = QStringLiteral("打开串口设备失败，请先连接串口设备，并检查是否被占用!");
const QString kNoPortText = QStringLiteral("未找到串口设备，请先扫描串口设备!");
const QString kMissingPort = QStringLiteral("/nonexistent/lightconsole-tty");

const QStringList kPanelLines = {QStringLiteral("[info ] <SerialDeviceWidget"),
                                 QStringLiteral("[error] <SerialDeviceWidget"),
                                 QStringLiteral("[error] <DeviceControl")};

// The panel, its controls, and everything it announces in order.
struct Panel
{
    Panel()
        : widget(new SerialDeviceWidget(nullptr))
    {
        combo = widget->findChild<QComboBox *>(QStringLiteral("cmbPortSelect"));
        scan = widget->findChild<QPushButton *>(QStringLiteral("btnPortScan"));
        open = widget->findChild<QPushButton *>(QStringLiteral("btnPortOpen"));
        close = widget->findChild<QPushButton *>(QStringLiteral("btnPortClose"));
        QObject::connect(widget.get(), &SerialDeviceWidget::deviceChanged, [this](DeviceControl *d) {
            if (!device)
                device = d;
            events << (d != device ? QStringLiteral("deviceChanged(other)")
                       : d->isOpen() ? QStringLiteral("deviceChanged(open)")
                                     : QStringLiteral("deviceChanged(closed)"));
        });
        QObject::connect(widget.get(), &SerialDeviceWidget::statusInfoChanged,
                         [this](const QString &text) { events << QStringLiteral("status:") + text; });
    }

    // Which of port box, scan, open and close are enabled, as "1110".
    QString enabled() const
    {
        QString s;
        for (const QWidget *w : {static_cast<QWidget *>(combo), static_cast<QWidget *>(scan),
                                 static_cast<QWidget *>(open), static_cast<QWidget *>(close)})
            s += w->isEnabled() ? QLatin1Char('1') : QLatin1Char('0');
        return s;
    }

    void typePort(const QString &name)
    {
        combo->setEditText(QString());
        QTest::keyClicks(combo, name);
    }

    std::unique_ptr<SerialDeviceWidget> widget;
    QComboBox *combo = nullptr;
    QPushButton *scan = nullptr;
    QPushButton *open = nullptr;
    QPushButton *close = nullptr;
    DeviceControl *device = nullptr;
    QStringList events;
};

QStringList scanLines(const QStringList &names)
{
    QStringList lines;
    lines << QStringLiteral("[info ] <SerialDeviceWidget::onSerialPortScan> SerialPortScan: %1").arg(names.size());
    for (int i = 0; i < names.size(); ++i)
        lines << QStringLiteral("[info ] <SerialDeviceWidget::onSerialPortScan> SerialPort(%1): %2").arg(i).arg(names[i]);
    return lines;
}

QStringList comboItems(const QComboBox *combo)
{
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

} // namespace

class TestSerialDeviceWidget : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { prepareLikeMain(); }

    void form();
    void construction();
    void scanClick();
    void openWithoutPortName_data();
    void openWithoutPortName();
    void openFailure();
    void openAndClose();
    void closeClickWhenNothingOpen();
    void destruction_data();
    void destruction();
};

void TestSerialDeviceWidget::form()
{
    Panel p;
    QCOMPARE(p.widget->findChild<QLabel *>(QStringLiteral("label"))->text(), QStringLiteral("串口选择："));
    QCOMPARE(p.scan->text(), QStringLiteral("扫描"));
    QCOMPARE(p.open->text(), QStringLiteral("打开"));
    QCOMPARE(p.close->text(), QStringLiteral("关闭"));
    QVERIFY(p.combo->isEditable());
    QCOMPARE(p.combo->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(p.combo->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
}

void TestSerialDeviceWidget::construction()
{
    StdoutCapture out;
    Panel p;
    const QStringList names = availablePortNames();
    QCOMPARE(p.enabled(), QStringLiteral("1110"));
    QCOMPARE(comboItems(p.combo), names);
    QCOMPARE(p.combo->currentText(), names.value(0));
    QCOMPARE(stampedLines(out), scanLines(names));
}

// The machine's own ports decide the count; the texts and lines follow it.
void TestSerialDeviceWidget::scanClick()
{
    Panel p;
    p.typePort(QStringLiteral("typed-before-scan"));
    StdoutCapture out;
    p.scan->click();
    const QStringList names = availablePortNames();
    QCOMPARE(stampedLines(out), scanLines(names));
    QCOMPARE(comboItems(p.combo), names);
    QCOMPARE(p.combo->currentText(), names.value(0));
    if (names.isEmpty())
        QCOMPARE(p.events, QStringList() << QStringLiteral("status:串口扫描失败，未找到串口设备，请先连接串口设备!"));
    else
        QCOMPARE(p.events, QStringList() << QStringLiteral("status:扫描到 %1 个串口设备!").arg(names.size()));
    QCOMPARE(p.enabled(), QStringLiteral("1110"));
}

void TestSerialDeviceWidget::openWithoutPortName_data()
{
    QTest::addColumn<QString>("typed");
    QTest::newRow("empty") << QString();
    QTest::newRow("blanks only") << QStringLiteral("   ");
}

// With nothing to open the click says so and touches no device.
void TestSerialDeviceWidget::openWithoutPortName()
{
    QFETCH(QString, typed);
    Panel p;
    p.combo->clear();
    p.typePort(typed);
    StdoutCapture out;
    p.open->click();
    QCOMPARE(p.events, QStringList() << QStringLiteral("status:") + kNoPortText);
    QCOMPARE(stampedLines(out), QStringList());
    QCOMPARE(p.enabled(), QStringLiteral("1110"));
}

void TestSerialDeviceWidget::openFailure()
{
    Panel p;
    p.typePort(kMissingPort);
    StdoutCapture out;
    p.open->click();
    QCOMPARE(p.events, QStringList() << QStringLiteral("deviceChanged(closed)")
                                     << QStringLiteral("status:") + kOpenFailedText);
    QCOMPARE(stampedLinesFrom(out, kPanelLines),
             QStringList()
                 << QStringLiteral("[info ] <SerialDeviceWidget::on_btnPortOpen_clicked> comName:") + kMissingPort
                 << QStringLiteral("[error] <DeviceControl::open:34> m_sdkHandle is null!")
                 << QStringLiteral("[info ] <SerialDeviceWidget::onSerialPortOpen> SerialPort opened!")
                 << QStringLiteral("[error] <SerialDeviceWidget::onSerialPortOpen:185> DeviceControl open2 failed!"));
    QVERIFY(!p.device->isOpen());
    QCOMPARE(p.enabled(), QStringLiteral("1110"));
}

void TestSerialDeviceWidget::openAndClose()
{
    VirtualLightSource sim;
    QVERIFY2(sim.start(), sim.errorText().c_str());
    const QString port = QString::fromStdString(sim.portPath());
    Panel p;
    p.typePort(port);
    {
        StdoutCapture out;
        p.open->click();
        // The success text comes before the open device is announced, so
        // that what the window reports about the device has the last word.
        QCOMPARE(p.events, QStringList() << QStringLiteral("deviceChanged(closed)")
                                         << QStringLiteral("status:") + kOpenedText
                                         << QStringLiteral("deviceChanged(open)"));
        QCOMPARE(stampedLinesFrom(out, kPanelLines),
                 QStringList()
                     << QStringLiteral("[info ] <SerialDeviceWidget::on_btnPortOpen_clicked> comName:") + port
                     << QStringLiteral("[info ] <SerialDeviceWidget::onSerialPortOpen> SerialPort opened!")
                     << QStringLiteral("[info ] <SerialDeviceWidget::onSerialPortOpen> DeviceControl opened!"));
        QCOMPARE(p.enabled(), QStringLiteral("0001"));
    }
    QVERIFY(p.device->isOpen());
    uint32_t model = 0;
    QVERIFY(p.device->getDeviceModel(&model));
    QCOMPARE(model, 0xFFAA0400u);

    p.events.clear();
    StdoutCapture out;
    p.close->click();
    QCOMPARE(p.events, QStringList() << QStringLiteral("deviceChanged(closed)"));
    QCOMPARE(stampedLinesFrom(out, kPanelLines),
             QStringList() << QStringLiteral("[info ] <SerialDeviceWidget::onSerialPortClose> DeviceControl closed!!!"));
    QCOMPARE(p.enabled(), QStringLiteral("1110"));
    QVERIFY(!p.device->isOpen());
    QCOMPARE(p.combo->currentText(), port);
}

void TestSerialDeviceWidget::closeClickWhenNothingOpen()
{
    Panel p;
    p.close->setEnabled(true); // only reachable while open; the slot must cope anyway
    StdoutCapture out;
    p.close->click();
    QCOMPARE(p.events, QStringList() << QStringLiteral("deviceChanged(closed)"));
    QCOMPARE(stampedLines(out), QStringList());
    QCOMPARE(p.enabled(), QStringLiteral("1110"));
}

void TestSerialDeviceWidget::destruction_data()
{
    QTest::addColumn<bool>("open");
    QTest::addColumn<QStringList>("lines");
    const QString nullLine = QStringLiteral("[error] <DeviceControl::close:51> m_sdkHandle is null!");
    QTest::newRow("open device") << true << (QStringList() << nullLine);
    QTest::newRow("closed device") << false << (QStringList() << nullLine << nullLine);
}

// The handle goes with the panel, and no deviceChanged is sent on the way out.
void TestSerialDeviceWidget::destruction()
{
    QFETCH(bool, open);
    QFETCH(QStringList, lines);
    VirtualLightSource sim;
    QVERIFY2(sim.start(), sim.errorText().c_str());
    Panel p;
    if (open) {
        p.typePort(QString::fromStdString(sim.portPath()));
        p.open->click();
        QVERIFY(p.device->isOpen());
    }
    p.events.clear();
    StdoutCapture out;
    p.widget.reset();
    QCOMPARE(p.events, QStringList());
    QCOMPARE(stampedLines(out), lines);
    if (open) {
        // The line is free again: a second open of the same pty succeeds.
        void *h = DALUSDK_CreateHandle(sim.portPath().c_str());
        QVERIFY(h != nullptr);
        QCOMPARE(DALUSDK_DestroyHandle(h), 0);
    }
}

QTEST_MAIN(TestSerialDeviceWidget)
#include "tst_SerialDeviceWidget.moc"
