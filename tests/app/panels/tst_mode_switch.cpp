#include "PanelTestSupport.h"

#include "panels/WorkModeSwitchWidget.h"

#include <QApplication>
#include <QSpinBox>
#include <QTabWidget>

namespace {

QTabWidget *tabs(WorkModeSwitchWidget *w)
{
    return w->findChild<QTabWidget *>("twModeSwitch");
}

QStringList switcherLines(const StdoutCapture &log)
{
    return stampedLinesFrom(log, {"[debug] <WorkModeSwitchWidget::on_", "[info ] <WorkModeSwitchWidget",
                                  "[error] <WorkModeSwitchWidget", "[debug] <NormalModeWidget::onWorkModeInit",
                                  "[debug] <TtlModeWidget::onWorkModeInit", "[debug] <EdgeModeWidget::onWorkModeInit",
                                  "[debug] <TriggerModeWidget::onWorkModeInit"});
}

} // namespace

class ModeSwitchTest : public QObject
{
    Q_OBJECT

private slots:
    void formHasTheFiveModes();
    void attachSelectsTheDeviceMode_data();
    void attachSelectsTheDeviceMode();
    void reopenedDeviceInTheShownModeIsReadAgain();
    void selectingATabReadsThenWritesTheMode_data();
    void selectingATabReadsThenWritesTheMode();
    void noDeviceReadsPageAndSendsNoMode();
    void failedModeWriteShowsInTheLog();
    void indexOutsideTheModesChangesNothing_data();
    void indexOutsideTheModesChangesNothing();
};

void ModeSwitchTest::formHasTheFiveModes()
{
    StdoutCapture log;
    WorkModeSwitchWidget w(nullptr);
    QTabWidget *tw = tabs(&w);
    QCOMPARE(tw->currentIndex(), 0);
    const QStringList texts{"标准模式", "TTL触发", "边沿触发", "内部触发", "顺序模式"};
    const QStringList names{"tbNormalMode", "tbTtlModeWidget", "tbEdgeModeWidget",
                            "tbTriggerModeWidget", "tbOrdinamModeWidget"};
    const QStringList classes{"NormalModeWidget", "TtlModeWidget", "EdgeModeWidget",
                              "TriggerModeWidget", "OrdinalModeWidget"};
    QCOMPARE(tw->count(), 5);
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(tw->tabText(i), texts.at(i));
        QCOMPARE(tw->widget(i)->objectName(), names.at(i));
        QCOMPARE(QString::fromLatin1(tw->widget(i)->metaObject()->className()), classes.at(i));
    }
    // Building the form calls no slot.
    QCOMPARE(stampedLines(log), QStringList());
}

void ModeSwitchTest::attachSelectsTheDeviceMode_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("tab");
    QTest::addColumn<QStringList>("frames");
    QTest::addColumn<QStringList>("lines");

    const QString read = "55 aa 80 01 00 81 fa";
    // The page shown still reads its parameters: it may hold another device's.
    QTest::newRow("mode of the tab shown") << 0 << 0 << QStringList{read}
        << QStringList{"[debug] <NormalModeWidget::onWorkModeInit> "};
    QTest::newRow("ttl") << 1 << 1
        << QStringList{read, frame(0x8002), frame(0x8201), frame(0x8202), frame(0x0001, {1})}
        << QStringList{"[debug] <WorkModeSwitchWidget::on_twModeSwitch_currentChanged> index:1",
                       "[debug] <TtlModeWidget::onWorkModeInit> ",
                       "[info ] <WorkModeSwitchWidget::on_twModeSwitch_currentChanged> SetWorkMode:1, ret:1"};
    QTest::newRow("edge") << 2 << 2
        << QStringList{read, frame(0x8301), frame(0x8302, {0}), frame(0x8302, {1}),
                       frame(0x8302, {2}), frame(0x8302, {3}), frame(0x0001, {2})}
        << QStringList{"[debug] <WorkModeSwitchWidget::on_twModeSwitch_currentChanged> index:2",
                       "[debug] <EdgeModeWidget::onWorkModeInit> ",
                       "[info ] <WorkModeSwitchWidget::on_twModeSwitch_currentChanged> SetWorkMode:2, ret:1"};
    QTest::newRow("internal trigger") << 3 << 3
        << QStringList{read, frame(0x8401), frame(0x8402), frame(0x8403), frame(0x8404),
                       frame(0x8405), frame(0x0001, {3})}
        << QStringList{"[debug] <WorkModeSwitchWidget::on_twModeSwitch_currentChanged> index:3",
                       "[debug] <TriggerModeWidget::onWorkModeInit> ",
                       "[info ] <WorkModeSwitchWidget::on_twModeSwitch_currentChanged> SetWorkMode:3, ret:1"};
    QTest::newRow("sequence") << 4 << 4 << QStringList{read, "55 aa 00 01 01 04 06 fa"}
        << QStringList{"[debug] <WorkModeSwitchWidget::on_twModeSwitch_currentChanged> index:4",
                       "[info ] <WorkModeSwitchWidget::on_twModeSwitch_currentChanged> SetWorkMode:4, ret:1"};
    QTest::newRow("unknown mode") << 7 << 0 << QStringList{read} << QStringList();
}

void ModeSwitchTest::attachSelectsTheDeviceMode()
{
    QFETCH(int, mode);
    QFETCH(int, tab);
    QFETCH(QStringList, frames);
    QFETCH(QStringList, lines);

    SimLink link;
    SimDeviceState state;
    state.workMode = static_cast<uint8_t>(mode);
    link.sim.setState(state);
    QVERIFY(link.open());
    WorkModeSwitchWidget w(nullptr);
    StdoutCapture log;

    w.updateDeviceControl(&link.dev);

    QCOMPARE(tabs(&w)->currentIndex(), tab);
    QCOMPARE(link.takeFrames(), frames);
    QCOMPARE(switcherLines(log), lines);
    const QString attach = stampedLines(log).value(0);
    // %p is the C library's: 0x1c2a... from glibc, 00000000001C2A... from msvcrt.
    QVERIFY2(QRegularExpression(QStringLiteral("^\\[debug\\] <WorkModeSwitchWidget::updateDeviceControl> "
                                               "pDevCtrl:(0x)?[0-9a-fA-F]+$"))
                 .match(attach).hasMatch(),
             qPrintable(attach));
    // Every page is handed the device, in tab order.
    QCOMPARE(stampedLines(log).filter("::updateDeviceControl> ").mid(1),
             (QStringList{"[debug] <NormalModeWidget::updateDeviceControl> ",
                          "[debug] <TtlModeWidget::updateDeviceControl> ",
                          "[debug] <EdgeModeWidget::updateDeviceControl> ",
                          "[debug] <TriggerModeWidget::updateDeviceControl> ",
                          "[debug] <OrdinalModeWidget::updateDeviceControl> "}));
}

// A device opened in the mode of the tab shown: the page reads again, once,
// and shows what this device holds, not what the previous one did.
void ModeSwitchTest::reopenedDeviceInTheShownModeIsReadAgain()
{
    SimLink link;
    SimDeviceState state;
    state.workMode = 2;
    state.edgeDelayMs = 100;
    link.sim.setState(state);
    QVERIFY(link.open());
    WorkModeSwitchWidget w(nullptr);
    QSpinBox *delay = w.findChild<QWidget *>("tbEdgeModeWidget")->findChild<QSpinBox *>("sbDelayTime");
    QVERIFY(delay != nullptr);
    w.updateDeviceControl(&link.dev);
    QCOMPARE(tabs(&w)->currentIndex(), 2);
    QCOMPARE(delay->value(), 100);

    link.dev.close();
    w.updateDeviceControl(&link.dev);
    state = link.sim.state();
    state.edgeDelayMs = 300;
    link.sim.setState(state);
    QVERIFY(link.dev.open(link.sim.portPath().c_str()));
    link.takeFrames();
    StdoutCapture log;

    w.updateDeviceControl(&link.dev);

    QCOMPARE(tabs(&w)->currentIndex(), 2);
    QCOMPARE(delay->value(), 300);
    // The new value goes back to the device as every value read does; no
    // work mode is written, the device is in it already.
    QCOMPARE(link.takeFrames(),
             (QStringList{"55 aa 80 01 00 81 fa", frame(0x8301), frame(0x0301, {0x01, 0x2C}), frame(0x8302, {0}),
                          frame(0x8302, {1}), frame(0x8302, {2}), frame(0x8302, {3})}));
    QCOMPARE(switcherLines(log), QStringList{"[debug] <EdgeModeWidget::onWorkModeInit> "});
}

void ModeSwitchTest::selectingATabReadsThenWritesTheMode_data()
{
    QTest::addColumn<int>("tab");
    QTest::addColumn<QStringList>("frames");

    QTest::newRow("standard") << 0 << QStringList{"55 aa 00 01 01 00 02 fa"};
    QTest::newRow("ttl") << 1
        << QStringList{frame(0x8002), frame(0x8201), frame(0x8202), frame(0x0001, {1})};
    QTest::newRow("sequence") << 4 << QStringList{"55 aa 00 01 01 04 06 fa"};
}

void ModeSwitchTest::selectingATabReadsThenWritesTheMode()
{
    QFETCH(int, tab);
    QFETCH(QStringList, frames);

    SimLink link;
    SimDeviceState state;
    state.workMode = 2;
    link.sim.setState(state);
    QVERIFY(link.open());
    WorkModeSwitchWidget w(nullptr);
    w.updateDeviceControl(&link.dev);
    link.takeFrames();

    tabs(&w)->setCurrentIndex(tab);

    QCOMPARE(link.takeFrames(), frames);
    QCOMPARE(static_cast<int>(link.sim.state().workMode), tab);
    // Selecting the tab that is current already does nothing.
    tabs(&w)->setCurrentIndex(tab);
    QCOMPARE(link.takeFrames(), QStringList());
}

void ModeSwitchTest::noDeviceReadsPageAndSendsNoMode()
{
    SimLink link;
    QVERIFY(link.open());
    WorkModeSwitchWidget w(nullptr);
    w.updateDeviceControl(&link.dev);
    link.takeFrames();
    w.updateDeviceControl(nullptr);
    StdoutCapture log;

    tabs(&w)->setCurrentIndex(3);

    QCOMPARE(switcherLines(log),
             (QStringList{"[debug] <WorkModeSwitchWidget::on_twModeSwitch_currentChanged> index:3",
                          "[debug] <TriggerModeWidget::onWorkModeInit> "}));
    QCOMPARE(link.takeFrames(), QStringList());
}

void ModeSwitchTest::failedModeWriteShowsInTheLog()
{
    // A pair of COM ports (the Windows test rig) stays there when the light
    // source stops, so the write would succeed: the unplug needs a pty.
    if (qEnvironmentVariableIsSet("LIGHTSIM_PAIR"))
        QSKIP("the light source is on a COM pair, which cannot be unplugged");
    SimLink link;
    QVERIFY(link.open());
    WorkModeSwitchWidget w(nullptr);
    w.updateDeviceControl(&link.dev);
    link.sim.stop(); // unplugged: the device stays open, its writes fail
    StdoutCapture log;

    tabs(&w)->setCurrentIndex(4);

    QCOMPARE(tabs(&w)->currentIndex(), 4);
    QCOMPARE(stampedLines(log).mid(1),
             (QStringList{"[error] <DeviceControl::setWorkMode:85> DALUSDK_SetWorkMode failed, ret:-1!",
                          "[info ] <WorkModeSwitchWidget::on_twModeSwitch_currentChanged> SetWorkMode:4, ret:0"}));
}

void ModeSwitchTest::indexOutsideTheModesChangesNothing_data()
{
    QTest::addColumn<int>("index");
    QTest::newRow("no tab") << -1;
    QTest::newRow("past the last mode") << 5;
}

void ModeSwitchTest::indexOutsideTheModesChangesNothing()
{
    QFETCH(int, index);

    SimLink link;
    QVERIFY(link.open());
    WorkModeSwitchWidget w(nullptr);
    w.updateDeviceControl(&link.dev);
    link.takeFrames();
    StdoutCapture log;

    QVERIFY(QMetaObject::invokeMethod(&w, "on_twModeSwitch_currentChanged", Q_ARG(int, index)));

    const QStringList lines = stampedLines(log);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0),
             QStringLiteral("[debug] <WorkModeSwitchWidget::on_twModeSwitch_currentChanged> index:%1").arg(index));
    QVERIFY2(QRegularExpression(QStringLiteral(
                 "^\\[error\\] <WorkModeSwitchWidget::on_twModeSwitch_currentChanged:\\d+> "
                 "Invaild mode type, index:%1$").arg(index)).match(lines.at(1)).hasMatch(),
             qPrintable(lines.at(1)));
    QCOMPARE(link.takeFrames(), QStringList());
}

PANEL_TEST_MAIN(ModeSwitchTest)

#include "tst_mode_switch.moc"
