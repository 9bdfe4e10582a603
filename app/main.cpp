#include "AppFont.h"
#include "ConsoleStartup.h"
#include "MainWindow.h"

#include <QApplication>
#include <QStyleFactory>

#include <cstdio>

int main(int argc, char *argv[])
{
    // Log lines must reach a redirected file at once, not at exit.
    std::setbuf(stdout, nullptr);
    QApplication::setStyle(QStyleFactory::create("Fusion"));

    QApplication app(argc, argv);

    ConsoleOptions options;
    QString message;
    switch (parseConsoleOptions(QApplication::arguments(), &options, &message)) {
    case CommandLineOutcome::ShowHelp:
        std::fputs(message.toLocal8Bit().constData(), stdout);
        return 0;
    case CommandLineOutcome::Error:
        std::fprintf(stderr, "LightConsole: %s (see --help)\n", message.toLocal8Bit().constData());
        return 1;
    case CommandLineOutcome::Run:
        break;
    }

    applyApplicationFont();
    if (!setConsoleLanguage(options.language.value_or(languageForLocale(QLocale::system()))))
        std::fprintf(stderr, "LightConsole: the English translation is missing; showing Chinese\n");

    int result = 0;
    {
        MainWindow window;
        window.show();
        applyConsoleOptions(&window, options);
        result = app.exec();
    }
    return result;
}
