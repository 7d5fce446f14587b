#include "app/qt/dialog.h"

#include "app/frontend.h"
#include "app/qt/tone.h"
#include "app/zmk.h"
#include "platform/ports.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMessageBox>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

zmk_dialog *active;

// The port field shows at least this much whole: a typical stable name of a
// USB adapter, as typed by hand.
constexpr char typical_long_port[] =
    "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";

// The flasher keeps a pointer to the port name for the rest of the process.
std::string opened_name;

void qt_message_box(const char *text, const char *caption)
{
    QMessageBox box(QMessageBox::Warning, QString::fromLocal8Bit(caption),
                    QString::fromLocal8Bit(text), QMessageBox::Ok, active);
    box.exec();
}

void qt_tone(uint32_t hz, uint32_t ms)
{
    // The bell has no pitch or length, but it is heard where no sound server
    // runs.
    if (!tone_play(hz, ms))
        QApplication::beep();
}

int qt_status(const char *text)
{
    if (!active)
        return 0;
    active->status->setText(QString::fromLocal8Bit(text));
    return 1;
}

} // namespace

zmk_dialog::zmk_dialog(const QStringList &ports, const QStringList &descriptions, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      port_list(new QComboBox(this)), program(new QPushButton("Program", this)),
      status(new QLineEdit(this))
{
    setWindowTitle(ZMK_CAPTION);

    port_list->setObjectName("port_list");
    port_list->setProperty("control_id", IDC_PORT);
    port_list->setEditable(true);
    port_list->setInsertPolicy(QComboBox::NoInsert);
    program->setObjectName("program");
    program->setProperty("control_id", IDC_PROGRAM);
    program->setDefault(true);
    status->setObjectName("status");
    status->setProperty("control_id", IDC_STATUS);
    status->setReadOnly(true);
    setTabOrder(port_list, program);
    setTabOrder(program, status);

    fill_list(ports, descriptions);
    lay_out();

    step_timer.setTimerType(Qt::PreciseTimer);
    connect(program, &QPushButton::clicked, this, [this] { program_pressed(); });
    connect(&step_timer, &QTimer::timeout, this, [this] { step(); });

    active = this;
    zmk_frontend fe{};
    fe.message_box = qt_message_box;
    fe.tone = qt_tone;
    fe.status = qt_status;
    frontend_set(&fe);
    set_status(" - Idle - ");
}

void zmk_dialog::fill_list(const QStringList &ports, const QStringList &descriptions)
{
    for (qsizetype i = 0; i < ports.size(); ++i) {
        port_list->addItem(ports[i]);
        if (i < descriptions.size() && !descriptions[i].isEmpty())
            port_list->setItemData(port_list->count() - 1, descriptions[i], Qt::ToolTipRole);
    }
    // The field itself tells what is behind the name it shows, typed or chosen.
    connect(port_list, &QComboBox::editTextChanged, this, [this](const QString &text) {
        const int i = port_list->findText(text);
        port_list->setToolTip(i < 0 ? QString()
                                    : port_list->itemData(i, Qt::ToolTipRole).toString());
    });
    port_list->setCurrentIndex(port_list->count() > 0 ? 0 : -1);
}

void zmk_dialog::lay_out()
{
    // Dialog units: a quarter of the average character width across, an
    // eighth of the character height down.
    QFontMetrics fm(font());
    const int bx = fm.averageCharWidth();
    const int by = fm.height();
    auto dx = [bx](int u) { return u * bx / 4; };
    auto dy = [by](int u) { return u * by / 8; };

    // The template's 56 units show "com12" but cut device paths: the field
    // fits the longest listed path and at least a /dev/serial/by-id/ name
    // typed by hand; the button and the dialog move out with it.
    port_list->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    const QFontMetrics field_fm = port_list->fontMetrics();
    port_list->setMinimumContentsLength(
        field_fm.horizontalAdvance(typical_long_port) / field_fm.horizontalAdvance('X') + 1);
    const int field = std::max(dx(56), port_list->sizeHint().width());
    port_list->setGeometry(dx(8), dy(14), field, std::max(dy(14), port_list->sizeHint().height()));
    const int button_x = dx(8) + field + dx(8);
    program->setGeometry(button_x, dy(14), dx(56), dy(14));
    status->setGeometry(dx(8), dy(56), std::max(dx(100), field), dy(14));
    setFixedSize(std::max(dx(180), button_x + dx(56) + dx(8)), dy(100));
    // The dropped-down list shows every item whole too.
    port_list->view()->setMinimumWidth(port_list->view()->sizeHintForColumn(0) + dx(8));
}

zmk_dialog::~zmk_dialog()
{
    if (active == this)
        active = nullptr;
}

void zmk_dialog::program_pressed()
{
    if (flasher.opened)
        return;
    // The selected item, or a name typed into the edit field, as given.
    QString name = port_list->currentText();
    if (name.trimmed().isEmpty())
        return; // nothing to open; stay idle
    opened_name = name.toLocal8Bit().toStdString();
    if (flasher_start(&flasher, opened_name.c_str()) != 0)
        fatal_error("Unable to open serial port. In use already, or not present");
    step_timer.start(ZMK_STEP_PERIOD_MS);
}

void zmk_dialog::step()
{
    if (flasher_tick(&flasher))
        step_timer.stop();
}

void zmk_dialog::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

found_ports dialog_order_ports(port_info *ports, int count)
{
    std::sort(ports, ports + count, [](const port_info &a, const port_info &b) {
        return a.usb != b.usb ? a.usb : std::strcmp(a.path, b.path) < 0;
    });
    found_ports out;
    for (int i = 0; i < count; ++i) {
        out.paths << QString::fromLocal8Bit(ports[i].path);
        out.descriptions << QString::fromLocal8Bit(ports[i].description);
    }
    return out;
}

found_ports dialog_find_ports()
{
    std::vector<port_info> found(PORTS_MAX);
    const int n = ports_list(found.data(), int(found.size()));
    return dialog_order_ports(found.data(), n);
}
