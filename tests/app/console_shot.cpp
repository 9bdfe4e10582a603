// Builds the real main window, opens the light source on the port given on
// the command line, and saves one picture of the window per work-mode tab:
// <dir>/screenshot-<tab>.png, plus <dir>/screenshot.png with the edge tab
// (the tallest page); in English (third argument "en") the names are
// screenshot-en-<tab>.png and screenshot-en.png. Prints every control that
// does not fit and exits 1 if there is one. Used by scripts/screenshot.sh
// under Xvfb.
#include "ConsoleLanguage.h"
#include "ConsoleTestSupport.h"
#include "MainWindow.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include <cstdio>
#include <optional>

int main(int argc, char *argv[])
{
    const std::optional<ConsoleLanguage> language =
        argc == 3 ? ConsoleLanguage::Chinese : languageFromName(QString::fromLocal8Bit(argc == 4 ? argv[3] : ""));
    if ((argc != 3 && argc != 4) || !language) {
        std::fprintf(stderr, "usage: %s PORT OUTPUT_DIR [en|zh]\n", argv[0]);
        return 2;
    }
    std::setbuf(stdout, nullptr);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication app(argc, argv);
    applyApplicationFont();
    if (!setConsoleLanguage(*language)) {
        std::fprintf(stderr, "console_shot: the English translation is missing\n");
        return 1;
    }
    const QString prefix = *language == ConsoleLanguage::English ? QStringLiteral("screenshot-en") : QStringLiteral("screenshot");

    const QString port = QString::fromLocal8Bit(argv[1]);
    const QDir outDir(QString::fromLocal8Bit(argv[2]));

    MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) {
        std::fprintf(stderr, "console_shot: the window was never shown\n");
        return 1;
    }

    auto *combo = window.findChild<QComboBox *>(QStringLiteral("cmbPortSelect"));
    auto *open = window.findChild<QPushButton *>(QStringLiteral("btnPortOpen"));
    auto *modes = window.findChild<QGroupBox *>(QStringLiteral("gbModeSwitch"));
    auto *tabs = window.findChild<QTabWidget *>(QStringLiteral("twModeSwitch"));
    if (!combo || !open || !modes || !tabs) {
        std::fprintf(stderr, "console_shot: the window lacks its port box, open button or tabs\n");
        return 1;
    }
    combo->setEditText(port);
    QTest::mouseClick(open, Qt::LeftButton);
    if (!modes->isEnabled()) {
        std::fprintf(stderr, "console_shot: the device on %s did not open\n", argv[1]);
        return 1;
    }

    // Let one temperature poll land so the rows show live values.
    QTest::qWait(1500);

    static const char *const names[] = {"normal", "ttl", "edge", "trigger", "sequence"};
    int failures = 0;
    for (int tab = 0; tab < tabs->count() && tab < 5; ++tab) {
        tabs->setCurrentIndex(tab);
        QTest::qWait(200);
        const QStringList clipped = clippedControls(&window);
        for (const QString &c : clipped)
            std::fprintf(stderr, "console_shot: tab %s: %s\n", names[tab], qPrintable(c));
        failures += clipped.size();
        const QPixmap shot = window.grab();
        shot.save(outDir.filePath(QStringLiteral("%1-%2.png").arg(prefix, QLatin1String(names[tab]))));
        if (tab == 2)
            shot.save(outDir.filePath(prefix + QStringLiteral(".png")));
    }
    tabs->setCurrentIndex(2);
    std::printf("console_shot: %d tabs saved to %s, %d clipped controls\n", tabs->count(),
                qPrintable(outDir.absolutePath()), failures);
    return failures == 0 ? 0 : 1;
}
