// The main window: its fixed frame and texts, and opening and closing the
// virtual light source through the serial panel, as a user would.
#include "ConsoleLanguage.h"
#include "ConsoleStartup.h"
#include "ConsoleTestSupport.h"
#include "MainWindow.h"
#include "StampedLines.h"
#include "VirtualLightSource.h"

#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

struct Window
{
    Window()
        : window(new MainWindow)
    {
        brightArea = child<QGroupBox>("gbBrightAdjust");
        modeArea = child<QGroupBox>("gbModeSwitch");
        const QList<QLabel *> labels = window->statusBar()->findChildren<QLabel *>(QString(), Qt::FindDirectChildrenOnly);
        status = labels.value(0);
    }

    template <typename T>
    T *child(const char *name) const
    {
        return window->findChild<T *>(QString::fromLatin1(name));
    }

    QString text(const char *label) const { return child<QLabel>(label)->text(); }

    void open(const std::string &port)
    {
        child<QComboBox>("cmbPortSelect")->setEditText(QString::fromStdString(port));
        child<QPushButton>("btnPortOpen")->click();
    }

    std::unique_ptr<MainWindow> window;
    QGroupBox *brightArea = nullptr;
    QGroupBox *modeArea = nullptr;
    QLabel *status = nullptr;
};

const QString kModelLabel = QStringLiteral("lblDeviceModel");

} // namespace

Q_DECLARE_METATYPE(ConsoleLanguage)

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void frame();
    void texts_data();
    void texts();
    void initialState();
    void openRecognisedModel_data();
    void openRecognisedModel();
    void openUnknownModel();
    void modelReadFails();
    void closeKeepsTexts();
    void layoutFits_data();
    void layoutFits();
    void languageFollowsLocale_data();
    void languageFollowsLocale();
    void commandLine_data();
    void commandLine();
    void commandLineOpensPort();
    void openedPortIsRemembered();

private:
    QTemporaryDir m_settingsDir;
};

void TestMainWindow::initTestCase()
{
    prepareLikeMain();
    QVERIFY(setConsoleLanguage(ConsoleLanguage::Chinese));
    // Remembered ports go to a throw-away place, never the user's settings.
    QVERIFY(m_settingsDir.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settingsDir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settingsDir.path());
}

void TestMainWindow::frame()
{
    Window w;
    w.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.window.get()));
    QCOMPARE(w.window->windowTitle(), QStringLiteral("LED光源控制软件"));
    QCOMPARE(w.window->size(), QSize(800, 480));
    QCOMPARE(w.window->minimumSize(), QSize(800, 480));
    QCOMPARE(w.window->maximumSize(), QSize(800, 480));
    QCOMPARE(w.window->windowFlags() & (Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint),
             Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    w.window->resize(1024, 768);
    QCOMPARE(w.window->size(), QSize(800, 480));
}

void TestMainWindow::texts_data()
{
    QTest::addColumn<QString>("container");
    QTest::addColumn<QString>("object");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("english");
    const QString central = QStringLiteral("centralwidget");
    const QString app = QStringLiteral("gbAppInfo");
    const QString dev = QStringLiteral("gbDevInfo");
    const QString serial = QStringLiteral("wdSerialDevice");
    QTest::newRow("window title") << QString() << QString() << QStringLiteral("LED光源控制软件") << "LED Light Source Control";
    QTest::newRow("gbSerialConfig") << central << "gbSerialConfig" << QStringLiteral("串口配置：") << "Serial port:";
    QTest::newRow("gbBrightAdjust") << central << "gbBrightAdjust" << QStringLiteral(" 亮度调节：") << " Brightness:";
    QTest::newRow("gbAppInfo") << central << "gbAppInfo" << QStringLiteral("软件信息：") << "Software:";
    QTest::newRow("gbDevInfo") << central << "gbDevInfo" << QStringLiteral("设备信息：") << "Device:";
    QTest::newRow("gbModeSwitch") << central << "gbModeSwitch" << QStringLiteral("工作模式：") << "Work mode:";
    QTest::newRow("label_6") << app << "label_6" << QStringLiteral("软件版本：") << "Version:";
    QTest::newRow("label_8") << app << "label_8" << QStringLiteral("SDK版本：") << "SDK version:";
    QTest::newRow("lblAppVersion") << app << "lblAppVersion" << QStringLiteral("10201") << "10201";
    QTest::newRow("lblSdkVersion") << app << "lblSdkVersion" << QStringLiteral("20100") << "20100";
    QTest::newRow("label_2") << dev << "label_2" << QStringLiteral("设备型号：") << "Model:";
    QTest::newRow("label_3") << dev << "label_3" << QStringLiteral("软件版本：") << "Version:";
    QTest::newRow("lblDeviceModel") << dev << "lblDeviceModel" << QStringLiteral("None") << "None";
    QTest::newRow("lblDeviceVersion") << dev << "lblDeviceVersion" << QStringLiteral("None") << "None";
    QTest::newRow("port label") << serial << "label" << QStringLiteral("串口选择：") << "Port:";
    QTest::newRow("btnPortOpen") << serial << "btnPortOpen" << QStringLiteral("打开") << "Open";
    // Two-line button texts, exactly: no indentation carried over from the form file.
    QTest::newRow("pbGlobalEnable") << "tbTtlModeWidget" << "pbGlobalEnable" << QStringLiteral("模拟\n触发") << "Simulate\ntrigger";
    QTest::newRow("pbTriggerOnce") << "tbTriggerModeWidget" << "pbTriggerOnce" << QStringLiteral("触发\n一次") << "Trigger\nonce";
}

// Texts as the window shows them at start, in Chinese and in English; each
// object looked up inside its own container, since the panels reuse names
// such as label_2.
void TestMainWindow::texts()
{
    QFETCH(QString, container);
    QFETCH(QString, object);
    QFETCH(QString, text);
    QFETCH(QString, english);
    for (const ConsoleLanguage language : {ConsoleLanguage::Chinese, ConsoleLanguage::English}) {
        QVERIFY(setConsoleLanguage(language));
        const QString expected = language == ConsoleLanguage::English ? english : text;
        Window w;
        if (container.isEmpty()) {
            QCOMPARE(w.window->windowTitle(), expected);
            continue;
        }
        QObject *parent = w.window->findChild<QObject *>(container);
        QVERIFY2(parent, qPrintable(container));
        QObject *o = parent->findChild<QObject *>(object, Qt::FindDirectChildrenOnly);
        QVERIFY2(o, qPrintable(object));
        if (auto *box = qobject_cast<QGroupBox *>(o))
            QCOMPARE(box->title(), expected);
        else if (auto *button = qobject_cast<QAbstractButton *>(o))
            QCOMPARE(button->text(), expected);
        else
            QCOMPARE(qobject_cast<QLabel *>(o)->text(), expected);
    }
}

void TestMainWindow::initialState()
{
    Window w;
    QVERIFY(w.status);
    QCOMPARE(w.status->text(), QString());
    QVERIFY(!w.brightArea->isEnabled());
    QVERIFY(!w.modeArea->isEnabled());
    QVERIFY(w.child<QGroupBox>("gbSerialConfig")->isEnabled());
    QVERIFY(w.child<QGroupBox>("gbAppInfo")->isEnabled());
    // The panels sit where the window needs them.
    QVERIFY(w.brightArea->isAncestorOf(w.child<QWidget>("wdBrightAdjust")));
    QVERIFY(w.modeArea->isAncestorOf(w.child<QWidget>("wdModeSwitch")));
    QVERIFY(w.child<QGroupBox>("gbSerialConfig")->isAncestorOf(w.child<QWidget>("wdSerialDevice")));
}

void TestMainWindow::openRecognisedModel_data()
{
    QTest::addColumn<uint>("model");
    QTest::addColumn<QString>("name");
    QTest::newRow("four-colour") << 0xFFAA0400u << QStringLiteral("4色光源");
    QTest::newRow("eight-colour") << 0xFFAA0800u << QStringLiteral("8色光源");
}

void TestMainWindow::openRecognisedModel()
{
    QFETCH(uint, model);
    QFETCH(QString, name);
    SimOptions options;
    options.model = model;
    options.version = 4242;
    VirtualLightSource sim(options);
    QVERIFY2(sim.start(), sim.errorText().c_str());
    Window w;
    StdoutCapture out;
    w.open(sim.portPath());
    QCOMPARE(w.text("lblDeviceModel"), name);
    QCOMPARE(w.text("lblDeviceVersion"), QStringLiteral("4242"));
    QVERIFY(w.brightArea->isEnabled());
    QVERIFY(w.modeArea->isEnabled());
    QCOMPARE(w.status->text(), QStringLiteral("设备已打开!"));
    QCOMPARE(stampedLinesFrom(out, {QStringLiteral("[info ] <MainWindow"), QStringLiteral("[error] <MainWindow")}),
             QStringList() << QStringLiteral("[info ] <MainWindow::onGetDeviceModel> Device model: 0x%1")
                                  .arg(model, 8, 16, QLatin1Char('0'))
                           << QStringLiteral("[info ] <MainWindow::onGetDeviceVersion> Device version: 4242"));
}

// An unknown model keeps both areas shut, and its error stays readable in
// the status bar instead of being overwritten by the open text.
void TestMainWindow::openUnknownModel()
{
    SimOptions options;
    options.model = 0x0000ABCDu;
    VirtualLightSource sim(options);
    QVERIFY2(sim.start(), sim.errorText().c_str());
    Window w;
    StdoutCapture out;
    w.open(sim.portPath());
    QVERIFY(w.child<QPushButton>("btnPortClose")->isEnabled());
    QVERIFY(!w.brightArea->isEnabled());
    QVERIFY(!w.modeArea->isEnabled());
    QCOMPARE(w.text("lblDeviceModel"), QStringLiteral("None"));
    QCOMPARE(w.text("lblDeviceVersion"), QStringLiteral("None"));
    QCOMPARE(w.status->text(), QStringLiteral("设备型号(0x0000abcd)不匹配!"));
    QCOMPARE(stampedLinesFrom(out, {QStringLiteral("[info ] <MainWindow"), QStringLiteral("[error] <MainWindow")}),
             QStringList() << QStringLiteral("[info ] <MainWindow::onGetDeviceModel> Device model: 0x0000abcd")
                           << QStringLiteral("[error] <MainWindow::onGetDeviceModel:95> Device model (0x0000abcd) match error!"));
}

void TestMainWindow::modelReadFails()
{
    SimOptions options;
    options.faults.silent = true;
    VirtualLightSource sim(options);
    QVERIFY2(sim.start(), sim.errorText().c_str());
    Window w;
    StdoutCapture out;
    w.open(sim.portPath());
    QVERIFY(!w.brightArea->isEnabled());
    QVERIFY(!w.modeArea->isEnabled());
    QCOMPARE(w.status->text(), QStringLiteral("获取设备型号失败!"));
    QCOMPARE(stampedLinesFrom(out, {QStringLiteral("[error] <DeviceControl"), QStringLiteral("[info ] <MainWindow")}),
             QStringList() << QStringLiteral("[error] <DeviceControl::getDeviceModel:333> DALUSDK_GetDeviceModel failed, ret:-1!"));
}

void TestMainWindow::closeKeepsTexts()
{
    VirtualLightSource sim;
    QVERIFY2(sim.start(), sim.errorText().c_str());
    Window w;
    w.open(sim.portPath());
    QVERIFY(w.modeArea->isEnabled());
    const QString version = w.text("lblDeviceVersion");
    QCOMPARE(version, QString::number(kSimDefaultVersion));

    w.child<QPushButton>("btnPortClose")->click();
    QVERIFY(!w.brightArea->isEnabled());
    QVERIFY(!w.modeArea->isEnabled());
    QCOMPARE(w.text("lblDeviceModel"), QStringLiteral("4色光源"));
    QCOMPARE(w.text("lblDeviceVersion"), version);
    QCOMPARE(w.status->text(), QStringLiteral("设备已打开!"));
}

void TestMainWindow::layoutFits_data()
{
    QTest::addColumn<ConsoleLanguage>("language");
    QTest::newRow("Chinese") << ConsoleLanguage::Chinese;
    QTest::newRow("English") << ConsoleLanguage::English;
}

// Every control fits the fixed window with the application font, in either
// language, with the device open, on every tab.
void TestMainWindow::layoutFits()
{
    QFETCH(ConsoleLanguage, language);
#ifdef Q_OS_WIN
    // Windows' own UI font is what the fixed window is laid out for; where it
    // is missing (wine), a substitute's widths say nothing of Windows.
    const QFont uiFont = QApplication::font();
    if (QFontInfo(uiFont).family() != uiFont.family())
        QSKIP(qPrintable("the UI font " + uiFont.family() + " is not installed here; it is substituted by " +
                         QFontInfo(uiFont).family()));
#endif
    QVERIFY(setConsoleLanguage(language));
    VirtualLightSource sim;
    QVERIFY2(sim.start(), sim.errorText().c_str());
    Window w;
    w.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.window.get()));
    w.open(sim.portPath());
    QVERIFY(w.modeArea->isEnabled());
    auto *tabs = w.child<QTabWidget>("twModeSwitch");
    QVERIFY(tabs);
    for (int tab = 0; tab < tabs->count(); ++tab) {
        tabs->setCurrentIndex(tab);
        QCoreApplication::processEvents();
        const QStringList clipped = clippedControls(w.window.get());
        QVERIFY2(clipped.isEmpty(), qPrintable(QStringLiteral("tab %1: ").arg(tab) + clipped.join(QStringLiteral("; "))));
    }
    tabs->setCurrentIndex(2);
    QCoreApplication::processEvents();
    QVERIFY(w.child<QWidget>("sbPulseTime3")->isVisible());
    QCOMPARE(w.window->size(), QSize(800, 480));
}

// Each test starts with the Chinese source texts, whatever the machine's locale.
void TestMainWindow::init()
{
    QVERIFY(setConsoleLanguage(ConsoleLanguage::Chinese));
}

void TestMainWindow::languageFollowsLocale_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<bool>("english");
    QTest::newRow("en_US") << QLocale(QStringLiteral("en_US")) << true;
    QTest::newRow("en_GB") << QLocale(QStringLiteral("en_GB")) << true;
    QTest::newRow("zh_CN") << QLocale(QStringLiteral("zh_CN")) << false;
    QTest::newRow("zh_TW") << QLocale(QStringLiteral("zh_TW")) << false;
    QTest::newRow("de_DE") << QLocale(QStringLiteral("de_DE")) << false;
    QTest::newRow("C") << QLocale::c() << false;
    QTest::newRow("POSIX") << QLocale(QStringLiteral("POSIX")) << false;
}

void TestMainWindow::languageFollowsLocale()
{
    QFETCH(QLocale, locale);
    QFETCH(bool, english);
    QCOMPARE(languageForLocale(locale) == ConsoleLanguage::English, english);
}

void TestMainWindow::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("open");
    QTest::addColumn<QString>("language");
    const int run = int(CommandLineOutcome::Run);
    const int help = int(CommandLineOutcome::ShowHelp);
    const int error = int(CommandLineOutcome::Error);
    QTest::newRow("nothing") << QStringList() << run << QString() << false << QString();
    QTest::newRow("port") << QStringList{"--port", "/dev/pts/7"} << run << "/dev/pts/7" << false << QString();
    QTest::newRow("port and open") << QStringList{"--port=COM3", "--open"} << run << "COM3" << true << QString();
    QTest::newRow("open alone") << QStringList{"--open"} << run << QString() << true << QString();
    QTest::newRow("help") << QStringList{"--help"} << help << QString() << false << QString();
    QTest::newRow("unknown option") << QStringList{"--baud", "9600"} << error << QString() << false << QString();
    QTest::newRow("port without name") << QStringList{"--port"} << error << QString() << false << QString();
    QTest::newRow("stray argument") << QStringList{"COM3"} << error << QString() << false << QString();
    QTest::newRow("english") << QStringList{"--lang", "en"} << run << QString() << false << "en";
    QTest::newRow("chinese") << QStringList{"--lang=zh"} << run << QString() << false << "zh";
    QTest::newRow("other language") << QStringList{"--lang", "fr"} << error << QString() << false << QString();
}

void TestMainWindow::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, outcome);
    QFETCH(QString, port);
    QFETCH(bool, open);
    ConsoleOptions options;
    QString message;
    QCOMPARE(int(parseConsoleOptions(QStringList{"LightConsole"} + arguments, &options, &message)), outcome);
    QCOMPARE(options.port, port);
    QCOMPARE(options.openPort, open);
    QFETCH(QString, language);
    QString parsedLanguage;
    if (options.language)
        parsedLanguage = *options.language == ConsoleLanguage::English ? QStringLiteral("en") : QStringLiteral("zh");
    QCOMPARE(parsedLanguage, language);
    if (outcome == int(CommandLineOutcome::ShowHelp)) {
        for (const char *option : {"--port <name>", "--open", "--lang <language>", "--help"})
            QVERIFY2(message.contains(QLatin1String(option)), qPrintable(message));
    }
    QCOMPARE(message.isEmpty(), outcome == int(CommandLineOutcome::Run));
}

// LightConsole --port <the light source> --open --lang en: live without a
// click, in English, with the log lines as in Chinese.
void TestMainWindow::commandLineOpensPort()
{
    VirtualLightSource sim;
    QVERIFY2(sim.start(), sim.errorText().c_str());
    const QString port = QString::fromStdString(sim.portPath());
    ConsoleOptions options;
    QString message;
    QCOMPARE(parseConsoleOptions({"LightConsole", "--port", port, "--open", "--lang", "en"}, &options, &message),
             CommandLineOutcome::Run);
    QVERIFY(setConsoleLanguage(*options.language));
    Window w;
    w.window->show();
    StdoutCapture out;
    applyConsoleOptions(w.window.get(), options);
    QCOMPARE(w.child<QComboBox>("cmbPortSelect")->currentText(), port);
    QVERIFY(!w.modeArea->isEnabled());
    QTRY_VERIFY(w.modeArea->isEnabled());
    QVERIFY(w.brightArea->isEnabled());
    QCOMPARE(w.text("lblDeviceModel"), QStringLiteral("4-colour source"));
    QCOMPARE(w.status->text(), QStringLiteral("Device opened!"));
    QCOMPARE(stampedLinesFrom(out, {QStringLiteral("[info ] <SerialDeviceWidget"), QStringLiteral("[info ] <MainWindow")}),
             QStringList() << QStringLiteral("[info ] <SerialDeviceWidget::on_btnPortOpen_clicked> comName:") + port
                           << QStringLiteral("[info ] <SerialDeviceWidget::onSerialPortOpen> SerialPort opened!")
                           << QStringLiteral("[info ] <SerialDeviceWidget::onSerialPortOpen> DeviceControl opened!")
                           << QStringLiteral("[info ] <MainWindow::onGetDeviceModel> Device model: 0xffaa0400")
                           << QStringLiteral("[info ] <MainWindow::onGetDeviceVersion> Device version: %1").arg(kSimDefaultVersion));
}

// Only a port that opened is remembered, and it comes back at the next start
// unless --port names another.
void TestMainWindow::openedPortIsRemembered()
{
    QSettings(QStringLiteral("DALU"), QStringLiteral("LightConsole")).clear();
    VirtualLightSource sim;
    QVERIFY2(sim.start(), sim.errorText().c_str());
    const QString port = QString::fromStdString(sim.portPath());
    const QString missing = QStringLiteral("/nonexistent/lightconsole-tty");
    {
        Window w;
        applyConsoleOptions(w.window.get(), ConsoleOptions());
        w.open(missing.toStdString());
        QVERIFY(!w.child<QPushButton>("btnPortClose")->isEnabled());
        QCOMPARE(rememberedPort(), QString());
        w.open(port.toStdString());
        QVERIFY(w.modeArea->isEnabled());
        QCOMPARE(rememberedPort(), port);
    }
    {
        Window w;
        applyConsoleOptions(w.window.get(), ConsoleOptions());
        QCOMPARE(w.child<QComboBox>("cmbPortSelect")->currentText(), port);
        QVERIFY(!w.modeArea->isEnabled());
    }
    {
        ConsoleOptions named;
        named.port = missing;
        Window w;
        applyConsoleOptions(w.window.get(), named);
        QCOMPARE(w.child<QComboBox>("cmbPortSelect")->currentText(), missing);
    }
    QCOMPARE(rememberedPort(), port);
}

QTEST_MAIN(TestMainWindow)
#include "tst_MainWindow.moc"
