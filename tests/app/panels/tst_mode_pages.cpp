#include "PanelTestSupport.h"

#include "panels/EdgeModeWidget.h"
#include "panels/NormalModeWidget.h"
#include "panels/OrdinalModeWidget.h"
#include "panels/TriggerModeWidget.h"
#include "panels/TtlModeWidget.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

#include <memory>

Q_DECLARE_METATYPE(SimDeviceState)
Q_DECLARE_METATYPE(SimFaults)

namespace {

// A fresh page of the named class, handed `dev`.
std::unique_ptr<QWidget> makePage(const QString &cls, DeviceControl *dev)
{
    if (cls == "TtlModeWidget") {
        auto page = std::make_unique<TtlModeWidget>();
        page->updateDeviceControl(dev);
        return page;
    }
    if (cls == "EdgeModeWidget") {
        auto page = std::make_unique<EdgeModeWidget>();
        page->updateDeviceControl(dev);
        return page;
    }
    auto page = std::make_unique<TriggerModeWidget>();
    page->updateDeviceControl(dev);
    return page;
}

// "name=value" for each spin box, "name=on/off" for check boxes and buttons.
QString shown(QWidget *page, const QString &name)
{
    QObject *w = page->findChild<QObject *>(name);
    if (auto *spin = qobject_cast<QSpinBox *>(w))
        return QStringLiteral("%1=%2").arg(name).arg(spin->value());
    if (auto *button = qobject_cast<QAbstractButton *>(w))
        return name + (button->isChecked() ? "=on" : "=off");
    return name + "=?";
}

// Acts on the named control as a user would: "click" presses a button or
// box, a number is entered into a spin box.
void act(QWidget *page, const QString &name, const QString &action)
{
    QObject *w = page->findChild<QObject *>(name);
    QVERIFY2(w, qPrintable(name));
    if (action == "click")
        qobject_cast<QAbstractButton *>(w)->click();
    else
        qobject_cast<QSpinBox *>(w)->setValue(action.toInt());
}

} // namespace

class ModePagesTest : public QObject
{
    Q_OBJECT

private slots:
    void controlsWriteTheDevice_data();
    void controlsWriteTheDevice();
    void typedValuesSendEachStep_data();
    void typedValuesSendEachStep();
    void initReadsAndWritesBackChanges_data();
    void initReadsAndWritesBackChanges();
    void failedReadsKeepWidgets_data();
    void failedReadsKeepWidgets();
    void noDeviceNoCall_data();
    void noDeviceNoCall();
    void edgeLabelsNameTheChannelsOnceAttached();
    void parameterlessPages();
};

void ModePagesTest::controlsWriteTheDevice_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("control");
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<QStringList>("frames");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("ttl global enable") << "TtlModeWidget" << "pbGlobalEnable" << QStringList{"click", "click"}
        << QStringList{frame(0x0002, {1}), frame(0x0002, {0})}
        << QStringList{"[debug] <TtlModeWidget::on_pbGlobalEnable_clicked> checked:1",
                       "[debug] <TtlModeWidget::on_pbGlobalEnable_clicked> checked:0"};
    QTest::newRow("ttl output") << "TtlModeWidget" << "cbOutputEnable" << QStringList{"click"}
        << QStringList{frame(0x0201, {1})}
        << QStringList{"[debug] <TtlModeWidget::on_cbOutputEnable_stateChanged> arg1:2"};
    QTest::newRow("ttl delay") << "TtlModeWidget" << "sbDelayTime" << QStringList{"5000"}
        << QStringList{"55 aa 02 02 02 13 88 a1 fa"}
        << QStringList{"[debug] <TtlModeWidget::on_sbDelayTime_valueChanged> arg1:5000"};
    QTest::newRow("edge delay") << "EdgeModeWidget" << "sbDelayTime" << QStringList{"300"}
        << QStringList{frame(0x0301, {0x01, 0x2C})}
        << QStringList{"[debug] <EdgeModeWidget::on_sbDelayTime_valueChanged> arg1:300"};
    QTest::newRow("edge pulse 3") << "EdgeModeWidget" << "sbPulseTime3" << QStringList{"100"}
        << QStringList{"55 aa 03 02 03 03 00 64 6f fa"}
        << QStringList{"[debug] <EdgeModeWidget::on_sbPulseTime3_valueChanged> arg1:100"};
    QTest::newRow("edge pulse 0") << "EdgeModeWidget" << "sbPulseTime0" << QStringList{"7"}
        << QStringList{frame(0x0302, {0, 0, 7})}
        << QStringList{"[debug] <EdgeModeWidget::on_sbPulseTime0_valueChanged> arg1:7"};
    QTest::newRow("trigger output") << "TriggerModeWidget" << "cbOutputEnable" << QStringList{"click", "click"}
        << QStringList{frame(0x0401, {1}), frame(0x0401, {0})}
        << QStringList{"[debug] <TriggerModeWidget::on_cbOutputEnable_stateChanged> arg1:2",
                       "[debug] <TriggerModeWidget::on_cbOutputEnable_stateChanged> arg1:0"};
    QTest::newRow("trigger delay") << "TriggerModeWidget" << "sbDelayTime" << QStringList{"500"}
        << QStringList{frame(0x0402, {0x01, 0xF4})}
        << QStringList{"[debug] <TriggerModeWidget::on_sbDelayTime_valueChanged> arg1:500"};
    QTest::newRow("trigger high") << "TriggerModeWidget" << "sbHighTime" << QStringList{"20"}
        << QStringList{frame(0x0403, {0, 20})}
        << QStringList{"[debug] <TriggerModeWidget::on_sbHighTime_valueChanged> arg1:20"};
    QTest::newRow("trigger low") << "TriggerModeWidget" << "sbLowTime" << QStringList{"4999"}
        << QStringList{frame(0x0404, {0x13, 0x87})}
        << QStringList{"[debug] <TriggerModeWidget::on_sbLowTime_valueChanged> arg1:4999"};
    QTest::newRow("trigger pulses") << "TriggerModeWidget" << "sbPulseNum" << QStringList{"100"}
        << QStringList{"55 aa 04 05 01 64 6e fa"}
        << QStringList{"[debug] <TriggerModeWidget::on_sbPulseNum_valueChanged> arg1:100"};
    const QString once = "55 aa 04 06 00 0a fa";
    const QString pressed = "[debug] <TriggerModeWidget::on_pbTriggerOnce_clicked> ";
    QTest::newRow("trigger once, three presses") << "TriggerModeWidget" << "pbTriggerOnce"
        << QStringList{"click", "click", "click"} << QStringList{once, once, once}
        << QStringList{pressed, pressed, pressed};
}

void ModePagesTest::controlsWriteTheDevice()
{
    QFETCH(QString, page);
    QFETCH(QString, control);
    QFETCH(QStringList, actions);
    QFETCH(QStringList, frames);
    QFETCH(QStringList, lines);

    SimLink link;
    QVERIFY(link.open());
    std::unique_ptr<QWidget> w = makePage(page, &link.dev);
    StdoutCapture log;

    for (const QString &action : actions)
        act(w.get(), control, action);

    QCOMPARE(link.takeFrames(), frames);
    QCOMPARE(stampedLines(log), lines);
    if (control == "pbTriggerOnce") {
        QCOMPARE(link.sim.state().triggerCount, 3u);
        QVERIFY(!w->findChild<QPushButton *>(control)->isChecked());
    }
}

void ModePagesTest::typedValuesSendEachStep_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QStringList>("frames");

    QTest::newRow("ttl delay 250") << "TtlModeWidget" << "sbDelayTime" << "250"
        << QStringList{frame(0x0202, {0, 2}), frame(0x0202, {0, 25}), frame(0x0202, {0, 250})};
    QTest::newRow("edge pulse 1, 1200") << "EdgeModeWidget" << "sbPulseTime1" << "1200"
        << QStringList{frame(0x0302, {1, 0, 1}), frame(0x0302, {1, 0, 12}),
                       frame(0x0302, {1, 0, 120}), frame(0x0302, {1, 0x04, 0xB0})};
    QTest::newRow("trigger pulses 30") << "TriggerModeWidget" << "sbPulseNum" << "30"
        << QStringList{frame(0x0405, {3}), frame(0x0405, {30})};
}

void ModePagesTest::typedValuesSendEachStep()
{
    QFETCH(QString, page);
    QFETCH(QString, control);
    QFETCH(QString, keys);
    QFETCH(QStringList, frames);

    SimLink link;
    QVERIFY(link.open());
    std::unique_ptr<QWidget> w = makePage(page, &link.dev);

    typeInto(w->findChild<QSpinBox *>(control), keys);

    QCOMPARE(link.takeFrames(), frames);
}

void ModePagesTest::initReadsAndWritesBackChanges_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<SimDeviceState>("state");
    QTest::addColumn<QStringList>("frames");
    QTest::addColumn<QStringList>("widgets");

    // The global enable button follows the device but is never written back;
    // values past a spin box's range are shown clamped and the clamped value
    // is written back.
    SimDeviceState ttl;
    ttl.globalEnable = 1;
    ttl.ttlOutputEnable = 1;
    ttl.ttlDelayMs = 6000;
    QTest::newRow("ttl") << "TtlModeWidget" << ttl
        << QStringList{frame(0x8002), frame(0x8201), frame(0x0201, {1}), frame(0x8202),
                       frame(0x0202, {0x13, 0x88})}
        << QStringList{"pbGlobalEnable=on", "cbOutputEnable=on", "sbDelayTime=5000"};

    SimDeviceState edge;
    edge.edgePulseMs[0] = 10;
    edge.edgePulseMs[2] = 7000;
    edge.edgePulseMs[3] = 300;
    QTest::newRow("edge") << "EdgeModeWidget" << edge
        << QStringList{frame(0x8301), frame(0x8302, {0}), frame(0x0302, {0, 0, 10}),
                       frame(0x8302, {1}), frame(0x8302, {2}), frame(0x0302, {2, 0x13, 0x88}),
                       frame(0x8302, {3}), frame(0x0302, {3, 0x01, 0x2C})}
        << QStringList{"sbDelayTime=0", "sbPulseTime0=10", "sbPulseTime1=0", "sbPulseTime2=5000",
                       "sbPulseTime3=300"};

    SimDeviceState trig;
    trig.trigDelayMs = 100;
    trig.trigHighMs = 200;
    trig.trigPulseNum = 200;
    QTest::newRow("internal trigger") << "TriggerModeWidget" << trig
        << QStringList{frame(0x8401), frame(0x8402), frame(0x0402, {0, 100}), frame(0x8403),
                       frame(0x0403, {0, 200}), frame(0x8404), frame(0x8405), frame(0x0405, {100})}
        << QStringList{"cbOutputEnable=off", "sbDelayTime=100", "sbHighTime=200", "sbLowTime=0",
                       "sbPulseNum=100"};
}

void ModePagesTest::initReadsAndWritesBackChanges()
{
    QFETCH(QString, page);
    QFETCH(SimDeviceState, state);
    QFETCH(QStringList, frames);
    QFETCH(QStringList, widgets);

    SimLink link;
    link.sim.setState(state);
    QVERIFY(link.open());
    std::unique_ptr<QWidget> w = makePage(page, &link.dev);
    StdoutCapture log;

    QVERIFY(QMetaObject::invokeMethod(w.get(), "onWorkModeInit"));

    QCOMPARE(link.takeFrames(), frames);
    QStringList got;
    for (const QString &entry : widgets)
        got << shown(w.get(), entry.section('=', 0, 0));
    QCOMPARE(got, widgets);
    QCOMPARE(stampedLines(log).value(0), QStringLiteral("[debug] <%1::onWorkModeInit> ").arg(page));
}

void ModePagesTest::failedReadsKeepWidgets_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<SimFaults>("faults");
    QTest::addColumn<QStringList>("widgets");

    SimFaults echo;
    echo.wrongLedId = true;
    SimFaults silent;
    silent.silent = true;
    // The edge delay has no channel, so only the four pulse reads fail.
    QTest::newRow("edge, wrong channel echoed") << "EdgeModeWidget" << echo
        << QStringList{"sbDelayTime=0", "sbPulseTime0=11", "sbPulseTime1=12", "sbPulseTime2=13",
                       "sbPulseTime3=14"};
    QTest::newRow("ttl, no replies") << "TtlModeWidget" << silent
        << QStringList{"pbGlobalEnable=on", "cbOutputEnable=on", "sbDelayTime=12"};
}

void ModePagesTest::failedReadsKeepWidgets()
{
    QFETCH(QString, page);
    QFETCH(SimFaults, faults);
    QFETCH(QStringList, widgets);

    SimLink link;
    QVERIFY(link.open());
    std::unique_ptr<QWidget> w = makePage(page, nullptr);
    // Shown before the device is attached, so nothing is written. The edge
    // delay, which is read fine, already shows the device's 0.
    int n = 11;
    for (QSpinBox *spin : w->findChildren<QSpinBox *>())
        spin->setValue(spin->objectName() == "sbDelayTime" ? 12 : n++);
    for (QAbstractButton *b : w->findChildren<QAbstractButton *>())
        b->setChecked(true);
    if (page == "EdgeModeWidget")
        w->findChild<QSpinBox *>("sbDelayTime")->setValue(0);
    QMetaObject::invokeMethod(w.get(), "updateDeviceControl", Q_ARG(DeviceControl *, &link.dev));
    link.sim.setFaults(faults);

    QVERIFY(QMetaObject::invokeMethod(w.get(), "onWorkModeInit"));

    QStringList writes;
    for (const QString &f : link.takeFrames()) {
        if (f.mid(6, 2).toInt(nullptr, 16) < 0x80)
            writes << f;
    }
    QCOMPARE(writes, QStringList());
    QStringList got;
    for (const QString &entry : widgets)
        got << shown(w.get(), entry.section('=', 0, 0));
    QCOMPARE(got, widgets);
}

void ModePagesTest::noDeviceNoCall_data()
{
    QTest::addColumn<QString>("page");
    QTest::newRow("ttl") << "TtlModeWidget";
    QTest::newRow("edge") << "EdgeModeWidget";
    QTest::newRow("internal trigger") << "TriggerModeWidget";
}

void ModePagesTest::noDeviceNoCall()
{
    QFETCH(QString, page);

    SimLink link;
    QVERIFY(link.open());
    std::unique_ptr<QWidget> w = makePage(page, &link.dev);
    QMetaObject::invokeMethod(w.get(), "updateDeviceControl", Q_ARG(DeviceControl *, nullptr));
    StdoutCapture log;

    QVERIFY(QMetaObject::invokeMethod(w.get(), "onWorkModeInit"));
    for (QAbstractButton *b : w->findChildren<QAbstractButton *>())
        b->click();
    for (QSpinBox *spin : w->findChildren<QSpinBox *>())
        spin->setValue(42);

    QCOMPARE(link.takeFrames(), QStringList());
    QCOMPARE(stampedLines(log).filter("DeviceControl::"), QStringList());
    // Every control still reached its slot.
    QCOMPARE(stampedLines(log).size(), 1 + w->findChildren<QAbstractButton *>().size()
                                            + w->findChildren<QSpinBox *>().size());
}

void ModePagesTest::edgeLabelsNameTheChannelsOnceAttached()
{
    SimLink link;
    EdgeModeWidget page;
    auto labels = [&page] {
        QStringList out;
        for (int i = 0; i < 4; ++i)
            out << page.findChild<QLabel *>(QStringLiteral("lbLedId%1").arg(i))->text();
        return out;
    };
    QCOMPARE(labels(), (QStringList{"LED_ID0:", "LED_ID1:", "LED_ID2:", "LED_ID3:"}));
    page.updateDeviceControl(nullptr);
    QCOMPARE(labels(), (QStringList{"LED_ID0:", "LED_ID1:", "LED_ID2:", "LED_ID3:"}));
    // Any device will do, open or not: nothing is read here.
    page.updateDeviceControl(&link.dev);
    QCOMPARE(labels(), (QStringList{"LED385", "LED480", "LED550", "LED640"}));
    page.updateDeviceControl(nullptr);
    QCOMPARE(labels(), (QStringList{"LED385", "LED480", "LED550", "LED640"}));
}

void ModePagesTest::parameterlessPages()
{
    SimLink link;
    NormalModeWidget normal;
    OrdinalModeWidget ordinal;
    QCOMPARE(normal.findChild<QLabel *>("label")->text(), QStringLiteral("无特殊参数！"));
    QCOMPARE(ordinal.findChild<QLabel *>("label")->text(), QStringLiteral("暂不支持！"));

    StdoutCapture log;
    normal.updateDeviceControl(&link.dev);
    ordinal.updateDeviceControl(&link.dev);
    normal.onWorkModeInit();
    ordinal.onWorkModeInit();
    QCOMPARE(stampedLines(log), (QStringList{"[debug] <NormalModeWidget::updateDeviceControl> ",
                                             "[debug] <OrdinalModeWidget::updateDeviceControl> ",
                                             "[debug] <NormalModeWidget::onWorkModeInit> "}));
}

PANEL_TEST_MAIN(ModePagesTest)

#include "tst_mode_pages.moc"
