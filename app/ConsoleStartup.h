#ifndef CONSOLESTARTUP_H
#define CONSOLESTARTUP_H

#include "ConsoleLanguage.h"

#include <QString>
#include <QStringList>

#include <optional>

class MainWindow;

// What LightConsole's command line asks for.
struct ConsoleOptions
{
    QString port;          // --port NAME; empty: the port opened last, if any
    bool openPort = false; // --open: click open once the window is shown
    std::optional<ConsoleLanguage> language; // --lang en|zh; none: the system's
};

enum class CommandLineOutcome { Run, ShowHelp, Error };

// Parses `arguments` (program name first, Qt's own options already taken out
// by QApplication). On ShowHelp `message` is the help text, on Error the
// reason.
CommandLineOutcome parseConsoleOptions(const QStringList &arguments, ConsoleOptions *options,
                                       QString *message);

// The port of the last successful open, from the user's settings; empty if
// there was none.
QString rememberedPort();

// Puts the named or the remembered port into the window's port box, has every
// successful open remembered, and with --open clicks open as soon as the
// event loop runs, that is once the window is shown.
void applyConsoleOptions(MainWindow *window, const ConsoleOptions &options);

#endif // CONSOLESTARTUP_H
