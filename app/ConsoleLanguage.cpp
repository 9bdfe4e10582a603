#include "ConsoleLanguage.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTranslator>

// The .qm lives in a resource of this static library: nothing else refers
// to it, so without this call the linker would leave it out.
static void initTranslationResource()
{
    Q_INIT_RESOURCE(translations);
}

ConsoleLanguage languageForLocale(const QLocale &locale)
{
    // uiLanguages() is the messages locale (LANGUAGE, LC_MESSAGES, ...);
    // language() alone follows the number format.
    const QLocale messages(locale.uiLanguages().value(0, locale.name()));
    return messages.language() == QLocale::English ? ConsoleLanguage::English : ConsoleLanguage::Chinese;
}

std::optional<ConsoleLanguage> languageFromName(const QString &name)
{
    if (name == QLatin1String("en"))
        return ConsoleLanguage::English;
    if (name == QLatin1String("zh"))
        return ConsoleLanguage::Chinese;
    return std::nullopt;
}

bool setConsoleLanguage(ConsoleLanguage language)
{
    static QPointer<QTranslator> english; // owned by the application object
    if (english)
        QCoreApplication::removeTranslator(english);
    if (language != ConsoleLanguage::English)
        return true;
    if (!english) {
        initTranslationResource();
        english = new QTranslator(QCoreApplication::instance());
        if (!english->load(QStringLiteral(":/i18n/LightConsole_en.qm"))) {
            delete english;
            return false;
        }
    }
    return QCoreApplication::installTranslator(english);
}
