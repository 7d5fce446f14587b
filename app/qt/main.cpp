// zmk on Linux: the dialog in Qt 6. Closing it ends the process with status
// 0; a port that cannot be opened ends it with status 1 after the box.
#include "app/qt/dialog.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    zmk_dialog dialog(dialog_find_ports());
    dialog.show();
    return app.exec();
}
