#include "ConsoleStartup.h"

#include "DeviceControl.h"
#include "MainWindow.h"
#include "SerialDeviceWidget.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QSettings>
#include <QTimer>

namespace {
// Named here rather than taken from the application object, so the program
// and its tests read and write the same settings.
const QString kSettingsOrganisation = QStringLiteral("DALU");
const QString kSettingsApplication = QStringLiteral("LightConsole");
const QString kLastPortKey = QStringLiteral("serial/lastPort");
} // namespace

CommandLineOutcome parseConsoleOptions(const QStringList &arguments, ConsoleOptions *options,
                                       QString *message)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("LightConsole: control of the four-channel LED light source on a serial line."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Put <name> into the port box (default: the port opened last)."),
                                  QStringLiteral("name"));
    const QCommandLineOption open(QStringLiteral("open"),
                                  QStringLiteral("Open the port once the window is shown."));
    const QCommandLineOption lang(QStringLiteral("lang"),
                                  QStringLiteral("Window language: en or zh (default: the system's; Chinese unless it is English)."),
                                  QStringLiteral("language"));
    parser.addOption(port);
    parser.addOption(open);
    parser.addOption(lang);

    if (!parser.parse(arguments)) {
        *message = parser.errorText();
        return CommandLineOutcome::Error;
    }
    // --help-all (Qt's options too) is only reachable through process(),
    // which would exit here; the plain help serves for both.
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        *message = parser.helpText();
        return CommandLineOutcome::ShowHelp;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *message = QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first());
        return CommandLineOutcome::Error;
    }
    if (parser.isSet(lang)) {
        options->language = languageFromName(parser.value(lang));
        if (!options->language) {
            *message = QStringLiteral("unknown language '%1' (en or zh)").arg(parser.value(lang));
            return CommandLineOutcome::Error;
        }
    }
    options->port = parser.value(port).trimmed();
    options->openPort = parser.isSet(open);
    return CommandLineOutcome::Run;
}

QString rememberedPort()
{
    const QSettings settings(kSettingsOrganisation, kSettingsApplication);
    return settings.value(kLastPortKey).toString();
}

void applyConsoleOptions(MainWindow *window, const ConsoleOptions &options)
{
    SerialDeviceWidget *serial = window->serialDevice();
    const QString port = options.port.isEmpty() ? rememberedPort() : options.port;
    if (!port.isEmpty())
        serial->setPortName(port);

    QObject::connect(serial, &SerialDeviceWidget::deviceChanged, serial, [serial](DeviceControl *devCtrl) {
        if (devCtrl && devCtrl->isOpen()) {
            QSettings settings(kSettingsOrganisation, kSettingsApplication);
            settings.setValue(kLastPortKey, serial->portName());
        }
    });

    if (options.openPort)
        QTimer::singleShot(0, serial, &SerialDeviceWidget::openPort);
}
