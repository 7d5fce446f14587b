// zmk on Linux: the dialog in Qt 6. Closing it ends the process with status
// 0; a port that cannot be opened ends it with status 1 after the box.
#include "app/qt/dialog.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

namespace {

const char usage[] =
    "Usage: zmk [--help] [--version] [Qt options]\n"
    "Programs the flash of a serial-attached device from a small window: choose\n"
    "the device's serial port and press \"Program\" to erase its flash, write the\n"
    "built-in image, set its clock to the local time and reset it. Progress lines\n"
    "go to standard output.\n"
    "\n"
    "Options:\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n"
    "\n"
    "Exit status: 0 when the window is closed, 1 when the port cannot be opened.\n";

} // namespace

int main(int argc, char **argv)
{
    // Answered before Qt starts, so they work without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("zmk " ZMK_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(usage, stdout);
            return 0;
        }
    }
    QApplication app(argc, argv);
    const found_ports found = dialog_find_ports();
    zmk_dialog dialog(found.paths, found.descriptions);
    dialog.show();
    return app.exec();
}
