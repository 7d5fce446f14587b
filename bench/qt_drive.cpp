// zmk_qt_drive PORT [--idle]: the Qt dialog under the offscreen platform,
// driven as a technician would: the port in the list, "Program" pressed,
// closed once the status reads "Done". --idle closes it without a run, which
// is what start-up alone costs.
#include "app/qt/dialog.h"

#include <QApplication>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The blinking text cursor repaints twice a second, and every repaint
    // allocates; that is time, not exchanges, so it is switched off here.
    QApplication::setCursorFlashTime(0);
    zmk_dialog dialog({QString::fromLocal8Bit(argv[1])});
    dialog.show();
    if (argc > 2 && std::strcmp(argv[2], "--idle") == 0) {
        QTimer::singleShot(0, &dialog, [&dialog] { dialog.close(); });
        return QApplication::exec();
    }
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &dialog, [&dialog] {
        if (dialog.status->text() == QLatin1String("Done"))
            dialog.close();
    });
    watch.start(100);
    QTimer::singleShot(0, dialog.program, [&dialog] { dialog.program->click(); });
    return QApplication::exec();
}
