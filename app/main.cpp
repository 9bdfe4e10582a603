#include "AppFont.h"
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
    applyApplicationFont();

    int result = 0;
    {
        MainWindow window;
        window.show();
        result = app.exec();
    }
    return result;
}
