// The main dialog in Qt 6 Widgets: the port list, "Program" and the status
// line, laid out in dialog units like the Windows template, with the same
// behaviour (one run per process, one flasher step per 5 ms tick).
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

constexpr int IDC_PORT = 3;
constexpr int IDC_PROGRAM = 4;
constexpr int IDC_STATUS = 5;
constexpr int ID_STEP_TIMER_MS = 5;

class zmk_dialog : public QDialog {
  public:
    // `ports` fill the list (it sorts them by name); the first is selected.
    // Installs the dialog's front end (box, tone, status) for the flasher.
    explicit zmk_dialog(const QStringList &ports, QWidget *parent = nullptr);
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
};

// The ports that can be opened now, as device paths.
QStringList dialog_find_ports();
