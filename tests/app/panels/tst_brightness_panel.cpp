#include "PanelTestSupport.h"

#include "panels/BrightAdjustWidget.h"
#include "panels/MultiBrightAdjustWidget.h"
#include "panels/StatusWidget.h"

#include <QApplication>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QSlider>
#include <QSpinBox>

Q_DECLARE_METATYPE(SimFaults)

namespace {

const QColor kGreen(0, 250, 0);
const QColor kRed(250, 0, 0);
const QColor kGrey(160, 160, 160);

QList<BrightAdjustWidget *> rows(MultiBrightAdjustWidget *panel)
{
    return panel->findChildren<BrightAdjustWidget *>(QString(), Qt::FindDirectChildrenOnly);
}

QString tempText(BrightAdjustWidget *row)
{
    return row->findChild<QDoubleSpinBox *>("spbTempValue")->text();
}

QColor indicator(BrightAdjustWidget *row)
{
    return row->findChild<StatusWidget *>("wdAlarmStatus")->grab().toImage().pixelColor(10, 10);
}

void poll(MultiBrightAdjustWidget *panel)
{
    QVERIFY(QMetaObject::invokeMethod(panel, "onTimerTimeout"));
}

// Only the requests that change the device: writes have bit 15 clear.
QStringList writesOnly(const QStringList &frames)
{
    QStringList out;
    for (const QString &f : frames) {
        if (f.mid(6, 2).toInt(nullptr, 16) < 0x80)
            out << f;
    }
    return out;
}

} // namespace

class BrightnessPanelTest : public QObject
{
    Q_OBJECT

private slots:
    void rowAnnouncesEachValueOnce_data();
    void rowAnnouncesEachValueOnce();
    void rowsShowTheChannelNames();
    void typedBrightnessSendsEachValue_data();
    void typedBrightnessSendsEachValue();
    void enableWritesAndAnnounces();
    void noDeviceNoCall();
    void attachWritesOnlyChangedRows_data();
    void attachWritesOnlyChangedRows();
    void pollShowsTemperaturesAndAlarms();
    void pollRunsWhileOpenAndStopsOnClose();
    void failedReadsKeepRowsAndWriteNothing_data();
    void failedReadsKeepRowsAndWriteNothing();
    void failedTemperatureReadShowsUnknown_data();
    void failedTemperatureReadShowsUnknown();
};

void BrightnessPanelTest::rowAnnouncesEachValueOnce_data()
{
    QTest::addColumn<QStringList>("steps"); // "s:N" moves the slider, "p:N" the spin box
    QTest::addColumn<QList<int>>("announced");

    QTest::newRow("slider") << QStringList{"s:40"} << QList<int>{40};
    QTest::newRow("spin box") << QStringList{"p:40"} << QList<int>{40};
    QTest::newRow("same value from the other side") << QStringList{"s:40", "p:40"} << QList<int>{40};
    QTest::newRow("value already shown") << QStringList{"p:0", "s:0"} << QList<int>{};
    QTest::newRow("drag and back") << QStringList{"s:10", "s:20", "p:20", "s:10"}
                                   << QList<int>{10, 20, 10};
    QTest::newRow("clamped above 100") << QStringList{"p:100", "p:150"} << QList<int>{100};
}

void BrightnessPanelTest::rowAnnouncesEachValueOnce()
{
    QFETCH(QStringList, steps);
    QFETCH(QList<int>, announced);

    BrightAdjustWidget row(QStringLiteral("LED385"));
    QSignalSpy spy(&row, &BrightAdjustWidget::valueChanged);
    auto *slider = row.findChild<QSlider *>("sldValue");
    auto *spin = row.findChild<QSpinBox *>("spbValue");
    for (const QString &step : steps) {
        const int value = step.mid(2).toInt();
        if (step.startsWith('s'))
            slider->setValue(value);
        else
            spin->setValue(value);
        QCOMPARE(slider->value(), spin->value());
    }
    QList<int> got;
    for (const QList<QVariant> &args : spy)
        got << args.at(0).toInt();
    QCOMPARE(got, announced);
}

void BrightnessPanelTest::rowsShowTheChannelNames()
{
    MultiBrightAdjustWidget panel(nullptr);
    QStringList names;
    for (BrightAdjustWidget *row : rows(&panel))
        names << row->findChild<QLabel *>("lblName")->text();
    QCOMPARE(names, (QStringList{"LED385", "LED480", "LED550", "LED640"}));
    QCOMPARE(indicator(rows(&panel).at(0)), kGreen);
}

void BrightnessPanelTest::typedBrightnessSendsEachValue_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QStringList>("frames");
    QTest::addColumn<QStringList>("status");

    QTest::newRow("55 on LED480")
        << 1 << "55" << QStringList{frame(0x0102, {1, 0, 5}), frame(0x0102, {1, 0, 55})}
        << QStringList{"设置LED480占空比(5) - 成功!", "设置LED480占空比(55) - 成功!"};
    QTest::newRow("100 on LED385")
        << 0 << "100"
        << QStringList{frame(0x0102, {0, 0, 1}), frame(0x0102, {0, 0, 10}),
                       "55 aa 01 02 03 00 00 64 6a fa"}
        << QStringList{"设置LED385占空比(1) - 成功!", "设置LED385占空比(10) - 成功!",
                       "设置LED385占空比(100) - 成功!"};
}

void BrightnessPanelTest::typedBrightnessSendsEachValue()
{
    QFETCH(int, id);
    QFETCH(QString, keys);
    QFETCH(QStringList, frames);
    QFETCH(QStringList, status);

    SimLink link;
    QVERIFY(link.open());
    MultiBrightAdjustWidget panel(nullptr);
    panel.updateDeviceControl(&link.dev);
    link.takeFrames();
    QSignalSpy spy(&panel, &MultiBrightAdjustWidget::statusInfoChanged);

    typeInto(rows(&panel).at(id)->findChild<QSpinBox *>("spbValue"), keys);

    QCOMPARE(spyTexts(spy), status);
    QCOMPARE(writesOnly(link.takeFrames()), frames);
}

void BrightnessPanelTest::enableWritesAndAnnounces()
{
    SimLink link;
    QVERIFY(link.open());
    MultiBrightAdjustWidget panel(nullptr);
    panel.updateDeviceControl(&link.dev);
    link.takeFrames();
    QSignalSpy spy(&panel, &MultiBrightAdjustWidget::statusInfoChanged);

    auto *box = rows(&panel).at(3)->findChild<QCheckBox *>("chkEnable");
    box->click();
    box->click();

    QCOMPARE(spyTexts(spy), (QStringList{"设置LED640(打开) - 成功!", "设置LED640(关闭) - 成功!"}));
    QCOMPARE(writesOnly(link.takeFrames()),
             (QStringList{frame(0x0101, {3, 1}), frame(0x0101, {3, 0})}));
}

void BrightnessPanelTest::noDeviceNoCall()
{
    SimLink link;
    QVERIFY(link.open());
    MultiBrightAdjustWidget panel(nullptr);
    panel.updateDeviceControl(&link.dev);
    panel.updateDeviceControl(nullptr);
    QVERIFY(!panel.isPolling());
    link.takeFrames();
    QSignalSpy spy(&panel, &MultiBrightAdjustWidget::statusInfoChanged);

    BrightAdjustWidget *row = rows(&panel).at(2);
    row->findChild<QCheckBox *>("chkEnable")->click();
    row->findChild<QSlider *>("sldValue")->setValue(30);

    QVERIFY(row->isChecked());
    QCOMPARE(row->value(), 30);
    QCOMPARE(spy.count(), 0);
    QCOMPARE(link.takeFrames(), QStringList());
}

void BrightnessPanelTest::attachWritesOnlyChangedRows_data()
{
    QTest::addColumn<QList<int>>("checked");
    QTest::addColumn<QList<int>>("brightness");
    QTest::addColumn<QStringList>("frames");
    QTest::addColumn<QStringList>("status");

    auto on = [](int id) { return frame(0x8101, {id}); };
    auto duty = [](int id) { return frame(0x8102, {id}); };
    QTest::newRow("equal") << QList<int>{0, 0, 0, 0} << QList<int>{0, 0, 0, 0}
                           << QStringList{on(0), duty(0), on(1), duty(1), on(2), duty(2), on(3),
                                          duty(3)}
                           << QStringList();
    QTest::newRow("differing")
        << QList<int>{0, 1, 0, 1} << QList<int>{0, 0, 70, 30}
        << QStringList{on(0), duty(0), on(1), frame(0x0101, {1, 1}), duty(1), on(2), duty(2),
                       frame(0x0102, {2, 0, 70}), on(3), frame(0x0101, {3, 1}), duty(3),
                       frame(0x0102, {3, 0, 30})}
        << QStringList{"设置LED480(打开) - 成功!", "设置LED550占空比(70) - 成功!",
                       "设置LED640(打开) - 成功!", "设置LED640占空比(30) - 成功!"};
}

void BrightnessPanelTest::attachWritesOnlyChangedRows()
{
    QFETCH(QList<int>, checked);
    QFETCH(QList<int>, brightness);
    QFETCH(QStringList, frames);
    QFETCH(QStringList, status);

    SimLink link;
    SimDeviceState state;
    for (int id = 0; id < 4; ++id) {
        state.ledChecked[id] = static_cast<uint8_t>(checked.at(id));
        state.ledBrightness[id] = static_cast<uint16_t>(brightness.at(id));
    }
    link.sim.setState(state);
    QVERIFY(link.open());
    MultiBrightAdjustWidget panel(nullptr);
    QSignalSpy spy(&panel, &MultiBrightAdjustWidget::statusInfoChanged);

    panel.updateDeviceControl(&link.dev);

    QCOMPARE(link.takeFrames(), frames);
    QCOMPARE(spyTexts(spy), status);
    QVERIFY(panel.isPolling());
    for (int id = 0; id < 4; ++id) {
        QCOMPARE(rows(&panel).at(id)->isChecked(), checked.at(id) != 0);
        QCOMPARE(rows(&panel).at(id)->value(), brightness.at(id));
    }

    // Attaching the same device again only reads.
    spy.clear();
    panel.updateDeviceControl(&link.dev);
    QCOMPARE(writesOnly(link.takeFrames()), QStringList());
    QCOMPARE(spy.count(), 0);
}

void BrightnessPanelTest::pollShowsTemperaturesAndAlarms()
{
    SimLink link;
    link.sim.setFixedTemperature(0, 25.0f, false);
    link.sim.setFixedTemperature(1, 61.5f, true);
    link.sim.setFixedTemperature(2, -2.0f, false);
    link.sim.setFixedTemperature(3, 99.99f, true);
    QVERIFY(link.open());
    MultiBrightAdjustWidget panel(nullptr);
    panel.updateDeviceControl(&link.dev);
    link.takeFrames();
    QSignalSpy spy(&panel, &MultiBrightAdjustWidget::statusInfoChanged);

    poll(&panel);

    QCOMPARE(link.takeFrames(),
             (QStringList{"55 aa 90 00 01 00 91 fa", frame(0x9000, {1}),
                          "55 aa 90 00 01 02 93 fa", frame(0x9000, {3})}));
    const QStringList temps{"25.00", "61.50", "-2.00", "99.99"};
    const QList<QColor> colours{kGreen, kRed, kGreen, kRed};
    for (int id = 0; id < 4; ++id) {
        QCOMPARE(tempText(rows(&panel).at(id)), temps.at(id));
        QCOMPARE(indicator(rows(&panel).at(id)), colours.at(id));
    }
    QCOMPARE(spy.count(), 0);
}

void BrightnessPanelTest::pollRunsWhileOpenAndStopsOnClose()
{
    SimLink link;
    link.sim.setFixedTemperature(2, 42.0f, false);
    QVERIFY(link.open());
    MultiBrightAdjustWidget panel(nullptr);
    QVERIFY(!panel.isPolling());

    panel.updateDeviceControl(&link.dev);
    QVERIFY(panel.isPolling());
    QTRY_COMPARE(tempText(rows(&panel).at(2)), QStringLiteral("42.00"));

    QVERIFY(link.dev.close());
    StdoutCapture log;
    QSignalSpy spy(&panel, &MultiBrightAdjustWidget::statusInfoChanged);
    panel.updateDeviceControl(&link.dev);
    QVERIFY(!panel.isPolling());
    // A tick that still comes finds the device closed and asks nothing.
    poll(&panel);
    QCOMPARE(stampedLines(log).filter("DeviceControl::"), QStringList());
    QCOMPARE(spy.count(), 0);
    QCOMPARE(tempText(rows(&panel).at(2)), QStringLiteral("42.00"));
}

void BrightnessPanelTest::failedReadsKeepRowsAndWriteNothing_data()
{
    QTest::addColumn<SimFaults>("faults");
    SimFaults echo;
    echo.wrongLedId = true;
    SimFaults silent;
    silent.silent = true;
    QTest::newRow("wrong channel echoed") << echo;
    QTest::newRow("no replies") << silent;
}

void BrightnessPanelTest::failedReadsKeepRowsAndWriteNothing()
{
    QFETCH(SimFaults, faults);

    SimLink link;
    QVERIFY(link.open());
    MultiBrightAdjustWidget panel(nullptr);
    for (int id = 0; id < 4; ++id) {
        rows(&panel).at(id)->setChecked(true);
        rows(&panel).at(id)->setValue(40 + id);
    }
    link.sim.setFaults(faults);
    QSignalSpy spy(&panel, &MultiBrightAdjustWidget::statusInfoChanged);

    panel.updateDeviceControl(&link.dev);

    QStringList expected;
    for (int id = 0; id < 4; ++id) {
        expected << QStringLiteral("获取设备LED(%1)使能状态失败!").arg(id)
                 << QStringLiteral("获取设备LED(%1)占空比失败!").arg(id);
    }
    QCOMPARE(spyTexts(spy), expected);
    QCOMPARE(writesOnly(link.takeFrames()), QStringList());
    for (int id = 0; id < 4; ++id) {
        QVERIFY(rows(&panel).at(id)->isChecked());
        QCOMPARE(rows(&panel).at(id)->value(), 40 + id);
    }
}

void BrightnessPanelTest::failedTemperatureReadShowsUnknown_data()
{
    QTest::addColumn<SimFaults>("faults");
    SimFaults echo;
    echo.wrongLedId = true;
    SimFaults silent;
    silent.silent = true;
    SimFaults dropped;
    dropped.dropEvery = 1;
    QTest::newRow("wrong channel echoed") << echo;
    QTest::newRow("no replies") << silent;
    QTest::newRow("every reply dropped") << dropped;
}

void BrightnessPanelTest::failedTemperatureReadShowsUnknown()
{
    QFETCH(SimFaults, faults);

    SimLink link;
    link.sim.setFixedTemperature(0, 70.0f, true);
    QVERIFY(link.open());
    MultiBrightAdjustWidget panel(nullptr);
    panel.updateDeviceControl(&link.dev);
    poll(&panel);
    QCOMPARE(indicator(rows(&panel).at(0)), kRed);

    link.sim.setFaults(faults);
    QSignalSpy spy(&panel, &MultiBrightAdjustWidget::statusInfoChanged);
    poll(&panel);
    QCOMPARE(spyTexts(spy), (QStringList{"获取设备LED(0)温度失败!", "获取设备LED(1)温度失败!",
                                         "获取设备LED(2)温度失败!", "获取设备LED(3)温度失败!"}));
    for (BrightAdjustWidget *row : rows(&panel)) {
        QCOMPARE(tempText(row), QString());
        QCOMPARE(indicator(row), kGrey);
    }

    // The next good read shows the channel again, the same value included.
    link.sim.setFaults(SimFaults());
    poll(&panel);
    QCOMPARE(tempText(rows(&panel).at(0)), QStringLiteral("70.00"));
    QCOMPARE(indicator(rows(&panel).at(0)), kRed);
    QCOMPARE(tempText(rows(&panel).at(1)), QStringLiteral("25.00"));
    QCOMPARE(indicator(rows(&panel).at(1)), kGreen);
}

PANEL_TEST_MAIN(BrightnessPanelTest)

#include "tst_brightness_panel.moc"
