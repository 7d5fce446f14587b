// The Qt dialog under the offscreen platform, driven with QTest, with a full
// run against zmk-devsim.
#include "app/frontend.h"
#include "app/qt/dialog.h"
#include "app/zmk.h"
#include "tests/support/sim.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPixmap>
#include <QTest>

#include <cstdio>
#include <string>
#include <utility>

// The font library keeps a cache for the life of the process.
extern "C" const char *__lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

int tones;

class Dialog : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "dialog_test";
        static char *argv[] = {name, nullptr};
        if (!qApp)
            new QApplication(argc, argv);
    }
};

// Closes the dialog from its event loop; how long until the loop ended, in
// ms (the loop must end with 0).
qint64 close_and_time(zmk_dialog &d)
{
    QTimer::singleShot(0, &d, [&d] { d.close(); });
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(QApplication::exec(), 0);
    return clock.elapsed();
}

} // namespace

// USB adapters first, by path, then on-board UARTs; the list keeps that
// order and whole names, and selects the first.
TEST_F(Dialog, ListsUsbAdaptersFirstWholeAndSelectsTheFirst)
{
    const std::string by_id = "/dev/serial/by-id/usb-" + std::string(150, 'x') + "-if00-port0";
    static port_info ports[5];
    const std::pair<std::string, bool> made[] = {{"/dev/ttyS0", false},
                                                 {"/dev/ttyUSB1", true},
                                                 {"/dev/ttyAMA0", false},
                                                 {by_id, true},
                                                 {"/dev/ttyACM0", true}};
    for (int i = 0; i < 5; ++i) {
        ports[i] = port_info{};
        std::snprintf(ports[i].path, sizeof ports[i].path, "%s", made[i].first.c_str());
        std::snprintf(ports[i].description, sizeof ports[i].description, "d%d", i);
        ports[i].usb = made[i].second;
    }
    const found_ports found = dialog_order_ports(ports, 5);
    EXPECT_EQ(found.paths, (QStringList{QString::fromStdString(by_id), "/dev/ttyACM0",
                                        "/dev/ttyUSB1", "/dev/ttyAMA0", "/dev/ttyS0"}));
    EXPECT_EQ(found.descriptions, (QStringList{"d3", "d4", "d1", "d2", "d0"}));

    zmk_dialog d(found.paths, found.descriptions);
    EXPECT_EQ(d.windowTitle(), "Vorlane Flash Programming Tool");
    for (int i = 0; i < found.paths.size(); ++i)
        EXPECT_EQ(d.port_list->itemText(i), found.paths[i]);
    EXPECT_EQ(d.port_list->currentIndex(), 0);
    EXPECT_EQ(d.port_list->currentText(), QString::fromStdString(by_id));
    EXPECT_EQ(d.status->text(), " - Idle - ");

    zmk_dialog empty({});
    EXPECT_EQ(empty.port_list->currentIndex(), -1);
    EXPECT_EQ(empty.status->text(), " - Idle - ");
    QTest::mouseClick(empty.program, Qt::LeftButton); // nothing to open
    EXPECT_EQ(empty.status->text(), " - Idle - ");
    EXPECT_EQ(flasher.opened, 0);
}

// Whole device paths in the port field, listed or typed, and each listed
// port's device as its tooltip.
TEST_F(Dialog, PortFieldShowsWholePathsAndTheDeviceBehindEach)
{
    const QString usb = "/dev/ttyUSB0", acm = "/dev/ttyACM0";
    const QString by_id = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    zmk_dialog d({usb, acm, "/dev/ttyS0"}, {"FTDI FT232R USB UART", "Arduino Uno"});
    d.show();
    QLineEdit *edit = d.port_list->lineEdit();
    auto shown_whole = [&](const QString &text) {
        d.port_list->setEditText(text);
        // With the cursor at the end, as after typing, a path too long for
        // the field scrolls its start out of sight.
        edit->setCursorPosition(int(text.size()));
        edit->grab(); // the field scrolls when it paints
        return edit->cursorPositionAt(QPoint(2, edit->height() / 2)) == 0;
    };
    EXPECT_TRUE(shown_whole(usb));
    EXPECT_TRUE(shown_whole(by_id));
    EXPECT_FALSE(shown_whole(by_id + by_id)) << "the check itself sees a cut path";
    EXPECT_GT(d.program->x(), d.port_list->geometry().right());
    EXPECT_LE(d.program->geometry().right(), d.width());

    EXPECT_EQ(d.port_list->itemText(1), acm);
    EXPECT_EQ(d.port_list->itemData(0, Qt::ToolTipRole).toString(), "FTDI FT232R USB UART");
    EXPECT_EQ(d.port_list->itemData(1, Qt::ToolTipRole).toString(), "Arduino Uno");
    EXPECT_FALSE(d.port_list->itemData(2, Qt::ToolTipRole).isValid()) << "/dev/ttyS0";
    EXPECT_TRUE(d.port_list->toolTip().isEmpty()) << "a typed name is no listed device";
    d.port_list->setCurrentIndex(d.port_list->findText(acm));
    EXPECT_EQ(d.port_list->toolTip(), "Arduino Uno");

    QDir().mkpath(ZMK_ARTIFACTS);
    EXPECT_TRUE(d.grab().save(ZMK_ARTIFACTS "/qt-port-usb.png"));
    d.port_list->setEditText(by_id);
    EXPECT_TRUE(d.grab().save(ZMK_ARTIFACTS "/qt-port-by-id.png"));
}

TEST_F(Dialog, TypedMissingPortShowsTheTerminateBoxAndExitsOne)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            zmk_dialog d({});
            zmk_frontend fe = *frontend_get();
            fe.message_box = [](const char *text, const char *caption) {
                std::fprintf(stderr, "[%s] %s %s", caption, flasher.port_name, text);
            };
            frontend_set(&fe);
            QTest::keyClicks(d.port_list->lineEdit(), "/dev/zmk-typed");
            QTest::mouseClick(d.program, Qt::LeftButton);
        },
        ::testing::ExitedWithCode(1),
        "\\[Terminate Program\\] /dev/zmk-typed .*Unable to open serial port");
}

TEST_F(Dialog, RunsTheSelectedPortToDoneAndIgnoresFurtherPresses)
{
    std::string dir = sim_tempdir();
    sim_proc sim;
    ASSERT_TRUE(
        sim_start(&sim, dir, {"--baud", "0", "--erase-ms", "50", "--expect", ZMK_IMAGE_FILE}));
    QString pty = QString::fromStdString(sim.pty);
    zmk_dialog d({"/dev/zmk-no-such-port", pty});
    zmk_frontend fe = *frontend_get();
    fe.tone = [](uint32_t hz, uint32_t ms) { tones += hz == 2000 && ms == 100; };
    frontend_set(&fe);

    d.port_list->setCurrentIndex(d.port_list->findText(pty));
    d.show();
    QTest::mouseClick(d.program, Qt::LeftButton);
    EXPECT_EQ(d.status->text(), "Programming...");
    EXPECT_STREQ(flasher.port_name, sim.pty.c_str());

    // A second press during the run changes nothing.
    d.port_list->setCurrentIndex(d.port_list->findText("/dev/zmk-no-such-port"));
    QTest::mouseClick(d.program, Qt::LeftButton);
    EXPECT_EQ(d.status->text(), "Programming...");
    EXPECT_STREQ(flasher.port_name, sim.pty.c_str());

    EXPECT_TRUE(QTest::qWaitFor([&] { return d.status->text() == "Done"; }, 60000));
    QTest::qWait(50);
    EXPECT_EQ(tones, 1);
    EXPECT_FALSE(d.step_timer.isActive());

    // And after it: the missing port is not even tried.
    QTest::mouseClick(d.program, Qt::LeftButton);
    EXPECT_EQ(d.status->text(), "Done");
    EXPECT_STREQ(flasher.port_name, sim.pty.c_str());

    d.port_list->setCurrentIndex(d.port_list->findText(pty));
    QDir().mkpath(ZMK_ARTIFACTS);
    EXPECT_TRUE(d.grab().save(ZMK_ARTIFACTS "/qt-done.png"));

    std::string report = sim_finish(&sim);
    EXPECT_EQ(json_value(report, "flash_matches"), "true") << report;
}

// A device that prints without pause never lets the line go quiet: every
// step still ends within its bound, so the dialog keeps handling events (a
// 100 ms timer is never held up longer than a step) and closes promptly.
TEST_F(Dialog, StaysResponsiveOnALineThatNeverGoesQuiet)
{
    std::string dir = sim_tempdir();
    sim_proc sim;
    ASSERT_TRUE(sim_start(&sim, dir, {"--baud", "115200", "--chatter-after", "40"}));
    zmk_dialog d({QString::fromStdString(sim.pty)});
    d.show();
    QTest::mouseClick(d.program, Qt::LeftButton);
    QTest::qWait(2000); // frame 40 comes about 1.2 s in

    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, worst = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        worst = std::max(worst, clock.elapsed() - last);
        last = clock.elapsed();
    });
    tick.start(100);
    QTest::qWait(3000);
    tick.stop();
    std::printf("longest gap of a 100 ms timer on a never-quiet line: %lld ms\n", worst);
    EXPECT_EQ(d.status->text(), "Programming...");
    EXPECT_LT(worst, 1200);

    EXPECT_LT(close_and_time(d), 1200);
    EXPECT_NE(json_value(sim_finish(&sim, 0), "started_ms"), "null");
}

// A device pulled out mid-run ends the run: the dialog says so, stops
// stepping, and still closes at once.
TEST_F(Dialog, ShowsADisconnectedDeviceAndStillClosesAtOnce)
{
    std::string dir = sim_tempdir();
    sim_proc sim;
    ASSERT_TRUE(sim_start(&sim, dir, {"--baud", "115200", "--hangup-at", "40"}));
    zmk_dialog d({QString::fromStdString(sim.pty)});
    d.show();
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(d.program, Qt::LeftButton);
    // Frame 40 comes about 1.2 s in. The field shows a word it holds whole.
    EXPECT_TRUE(QTest::qWaitFor([&] { return d.status->text() == "Disconnected"; }, 3200))
        << d.status->text().toStdString();
    EXPECT_LE(d.status->fontMetrics().horizontalAdvance(d.status->text()),
              d.status->contentsRect().width());
    EXPECT_TRUE(d.grab().save(ZMK_ARTIFACTS "/qt-disconnected.png"));
    std::printf("disconnection shown %lld ms after Program\n", clock.elapsed());
    EXPECT_FALSE(d.step_timer.isActive());

    EXPECT_LT(close_and_time(d), 500);
    sim_finish(&sim, 0);
}
