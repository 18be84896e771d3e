#include "app/closesignals.h"
#include "app/optionip.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    OptionIP window(QCoreApplication::applicationDirPath());
    window.Form_Load();
    closeOnTerminationSignals(&window);
    window.show();
    return app.exec();
}
