// The main dialog in Qt 6 Widgets: the port list, "Program" and the status
// line, placed in dialog units like the Windows template but with a port
// field wide enough for whole device paths, and with the same behaviour (one
// run per process, one flasher step per 5 ms tick).
#pragma once

#include "app/dialog_ids.h"
#include "platform/ports.h"

#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

class zmk_dialog : public QDialog {
  public:
    // `ports` fill the list in the order given; the first is selected.
    // `descriptions`, where given, run parallel to `ports` and become the
    // items' tooltips. Installs the dialog's front end (box, tone, status)
    // for the flasher.
    explicit zmk_dialog(const QStringList &ports, const QStringList &descriptions = {},
                        QWidget *parent = nullptr);
    ~zmk_dialog() override;

    QComboBox *port_list;
    QPushButton *program;
    QLineEdit *status;
    QTimer step_timer;

    void program_pressed();
    void step();

  protected:
    // Escape must not close the dialog: only the close box does.
    void keyPressEvent(QKeyEvent *event) override;

  private:
    void fill_list(const QStringList &ports, const QStringList &descriptions);
    void lay_out();
};

// The ports that can be opened now: device paths and what is known of the
// device behind each (USB product, driver), in the same order.
struct found_ports {
    QStringList paths, descriptions;
};
found_ports dialog_find_ports();
// The list's order: USB adapters first, as the one just plugged in is the
// likeliest choice, then on-board UARTs; by path within each. Sorts `ports`.
found_ports dialog_order_ports(port_info *ports, int count);
