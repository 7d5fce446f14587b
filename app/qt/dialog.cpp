#include "app/qt/dialog.h"

#include "app/frontend.h"
#include "app/zmk.h"
#include "platform/ports.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMessageBox>

#include <string>

namespace {

zmk_dialog *active;

// The flasher keeps a pointer to the port name for the rest of the process.
std::string opened_name;

void qt_message_box(const char *text, const char *caption)
{
    QMessageBox box(QMessageBox::Warning, QString::fromLocal8Bit(caption),
                    QString::fromLocal8Bit(text), QMessageBox::Ok, active);
    box.exec();
}

void qt_tone(uint32_t, uint32_t)
{
    // Qt offers only the desktop's bell, not a tone of a given pitch.
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

zmk_dialog::zmk_dialog(const QStringList &ports, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      port_list(new QComboBox(this)), program(new QPushButton("Program", this)),
      status(new QLineEdit(this))
{
    setWindowTitle("Vorlane Flash Programming Tool");

    // Dialog units: a quarter of the average character width across, an
    // eighth of the character height down.
    QFontMetrics fm(font());
    const int bx = fm.averageCharWidth();
    const int by = fm.height();
    auto dx = [bx](int u) { return u * bx / 4; };
    auto dy = [by](int u) { return u * by / 8; };

    port_list->setObjectName("port_list");
    port_list->setProperty("control_id", IDC_PORT);
    port_list->setEditable(true);
    port_list->setInsertPolicy(QComboBox::NoInsert);
    port_list->setGeometry(dx(8), dy(14), dx(56), std::max(dy(14), port_list->sizeHint().height()));

    program->setObjectName("program");
    program->setProperty("control_id", IDC_PROGRAM);
    program->setDefault(true);
    program->setGeometry(dx(72), dy(14), dx(56), dy(14));

    status->setObjectName("status");
    status->setProperty("control_id", IDC_STATUS);
    status->setReadOnly(true);
    status->setGeometry(dx(8), dy(56), dx(100), dy(14));

    setFixedSize(dx(180), dy(100));
    setTabOrder(port_list, program);
    setTabOrder(program, status);

    for (const QString &p : ports)
        port_list->addItem(p);
    port_list->model()->sort(0);
    port_list->setCurrentIndex(port_list->count() > 0 ? 0 : -1);
    // Device paths are longer than the template's list is wide: the
    // dropped-down list grows to show them whole.
    port_list->view()->setMinimumWidth(port_list->view()->sizeHintForColumn(0) + dx(8));

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
    flasher.port_name = opened_name.c_str();
    flasher.baud = 115200;
    flasher.chunk = 256;
    flasher.address = 0;
    flasher_open(&flasher);
    set_status("Programming...");
    step_timer.start(ID_STEP_TIMER_MS);
}

void zmk_dialog::step()
{
    if (flasher_step(&flasher)) {
        step_timer.stop();
        frontend_get()->tone(2000, 100);
        set_status("Done");
    }
}

void zmk_dialog::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

QStringList dialog_find_ports()
{
    static port_info found[PORTS_MAX];
    int n = ports_list(found, PORTS_MAX);
    QStringList out;
    for (int i = 0; i < n; ++i)
        out << QString::fromLocal8Bit(found[i].path);
    return out;
}
