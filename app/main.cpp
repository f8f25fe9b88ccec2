#include "mainwindow.h"
#include "startup.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    keepLogFile();
    MainWindow window;
    window.show();
    return app.exec();
}
