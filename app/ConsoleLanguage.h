#ifndef CONSOLELANGUAGE_H
#define CONSOLELANGUAGE_H

#include <QLocale>
#include <QString>

#include <optional>

// The Chinese texts are the source texts; English comes from the built-in
// translation. Log lines on standard output are the same in both.
enum class ConsoleLanguage { Chinese, English };

// English for a locale whose messages are English, Chinese for any other
// (C and POSIX included).
ConsoleLanguage languageForLocale(const QLocale &locale);

// "en" or "zh", as --lang takes them; nothing for any other name.
std::optional<ConsoleLanguage> languageFromName(const QString &name);

// Installs the English translation or takes it away again. Widgets built
// afterwards, and texts made afterwards, are in that language. Returns false
// if the translation could not be loaded.
bool setConsoleLanguage(ConsoleLanguage language);

#endif // CONSOLELANGUAGE_H
