// SPDX-License-Identifier: MIT
#include "app/console.h"
#include "app/diagnosticlog.h"
#include "app/dialog.h"

#include <QApplication>

#ifndef WENDRIX_LOG_FOLDER
#define WENDRIX_LOG_FOLDER "wendrix"
#endif

int main(int argc, char *argv[])
{
    Console::attachParent();
    // Before the application object: a start that fails there is logged too.
    DiagnosticLog log(QStringLiteral(WENDRIX_LOG_FOLDER));
    QApplication app(argc, argv);
    Dialog dialog;
    dialog.show();
    return app.exec();
}
