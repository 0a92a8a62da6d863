#include "app/diagnosticlog.h"
#include "app/dialog.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    DiagnosticLog::attachParentConsole();
    QApplication app(argc, argv);
    DiagnosticLog log;
    Dialog dialog;
    dialog.show();
    return app.exec();
}
