// The Windows program: the "ZMK" dialog from the resource template, the port
// list, the "Program" button and the 5 ms step timer that drives a run.
#include "app/dialog_ids.h"
#include "app/frontend.h"
#include "app/zmk.h"
#include "platform/ports.h"

#include <windows.h>

#include <cstdio>

struct port_entry {
    int32_t number;
    char name[8];
};

HINSTANCE app_instance;
HWND dialog_wnd;
port_entry ports[32];

namespace {

constexpr int max_port_number = 31;

// A name typed into the list's edit field when nothing is selected: room for
// any path the system takes.
char typed_port[PORT_PATH_MAX];

void win_message_box(const char *text, const char *caption)
{
    MessageBoxA(dialog_wnd, text, caption, MB_OK | MB_ICONEXCLAMATION);
}

void win_tone(uint32_t hz, uint32_t ms) { Beep(hz, ms); }

int win_status(const char *text) { return SetDlgItemTextA(dialog_wnd, IDC_STATUS, text); }

constexpr zmk_frontend win_frontend{win_message_box, win_tone, win_status, nullptr,
                                    nullptr,         nullptr,  nullptr};

// Fills the list with every port from com1 to com31 that opens for reading.
// The probe uses the device path: plain names above com9 are no devices.
void probe_ports(HWND list)
{
    int count = 0;
    for (int n = 1; n <= max_port_number; ++n) {
        std::snprintf(ports[count].name, sizeof ports[count].name, "com%d", n);
        char path[16];
        std::snprintf(path, sizeof path, "\\\\.\\com%d", n);
        FILE *f = std::fopen(path, "r");
        if (!f)
            continue;
        std::fclose(f);
        // The list sorts by name, so remember which entry each item shows.
        const LRESULT pos = SendMessageA(list, CB_ADDSTRING, 0, LPARAM(ports[count].name));
        if (pos >= 0)
            SendMessageA(list, CB_SETITEMDATA, WPARAM(pos), LPARAM(count));
        ports[count].number = n;
        ++count;
    }
    ports[count].name[0] = '\0';
}

// The port the user chose: the selected item, else a typed-in name, else none.
const char *chosen_port(HWND window)
{
    HWND list = GetDlgItem(window, IDC_PORT);
    const LRESULT sel = SendMessageA(list, CB_GETCURSEL, 0, 0);
    if (sel != CB_ERR) {
        const LRESULT index = SendMessageA(list, CB_GETITEMDATA, WPARAM(sel), 0);
        if (index >= 0 && index < max_port_number && ports[index].number != 0)
            return ports[index].name;
        return nullptr;
    }
    typed_port[0] = '\0';
    GetWindowTextA(list, typed_port, sizeof typed_port);
    return typed_port[0] ? typed_port : nullptr;
}

} // namespace

LRESULT CALLBACK main_wnd_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wparam) != IDC_PROGRAM)
            break;
        if (flasher.opened)
            return 0;
        if (const char *port = chosen_port(window)) {
            if (flasher_start(&flasher, port) != 0)
                fatal_error("Unable to open serial port. In use already, or not present");
            SetTimer(window, ID_STEP_TIMER, ZMK_STEP_PERIOD_MS, nullptr);
        }
        return 0;
    case WM_TIMER:
        if (LOWORD(wparam) == ID_STEP_TIMER && flasher_tick(&flasher))
            KillTimer(window, ID_STEP_TIMER);
        break;
    // The class's default handling is the plain window one, which leaves the
    // dialog keyboard of IsDialogMessageA without its two questions answered:
    // which button Return presses, and where Tab moves the focus.
    case DM_GETDEFID: return MAKELRESULT(IDC_PROGRAM, DC_HASDEFID);
    case WM_NEXTDLGCTL: {
        HWND next = LOWORD(lparam) ? reinterpret_cast<HWND>(wparam)
                                   : GetNextDlgTabItem(window, GetFocus(), wparam != 0);
        if (next)
            SetFocus(next);
        return 0;
    }
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: break;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show)
{
    // Unbuffered, the C library writes console text a character at a time,
    // and every such write costs a console-mode query; each text is flushed
    // whole instead.
    static char console_buffer[1024];
    std::setvbuf(stdout, console_buffer, _IOFBF, sizeof console_buffer);
    frontend_set(&win_frontend);

    WNDCLASSA wc{};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = main_wnd_proc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = DLGWINDOWEXTRA;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = "ZMK";
    app_instance = instance;

    if (!RegisterClassA(&wc))
        fatal_error("This program requires Windows NT");
    dialog_wnd = CreateDialogParamA(instance, "ZMK", nullptr, nullptr, 0);
    if (!dialog_wnd)
        fatal_error("Could not create dialog");
    ShowWindow(dialog_wnd, show);

    HWND list = GetDlgItem(dialog_wnd, IDC_PORT);
    probe_ports(list);
    SendMessageA(list, CB_SETCURSEL, 0, 0);
    // Typing goes to the port list from the start.
    SetFocus(list);
    set_status(" - Idle - ");

    MSG msg{};
    while (GetMessageA(&msg, nullptr, 0, 0)) {
        if (!IsWindow(dialog_wnd) || !IsDialogMessageA(dialog_wnd, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return int(msg.wParam);
}
