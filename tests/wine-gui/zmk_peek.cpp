// zmk-peek CAPTION: prints the controls of the top-level window with that
// caption, one per line ("control <id> <class> <text>"), and for a combo box
// its items in list order ("item <n> <text>") and the selection
// ("selected <n>", -1 for none), then the control with the keyboard focus
// ("focus <id>", -1 for none). For an edit control it also says whether
// its text fits its width ("fits <id> yes|no <text px>/<field px>"),
// measured in the control's font or, when that cannot be had from here, the
// wider system font. Exit status 1 when there is no such window.
#include <windows.h>

#include <cstdio>

namespace {

void print_fit(HWND control, const char *text)
{
    RECT box{};
    GetClientRect(control, &box);
    HDC dc = GetDC(control);
    const HGDIOBJ font = HGDIOBJ(SendMessageA(control, WM_GETFONT, 0, 0));
    const HGDIOBJ was = font ? SelectObject(dc, font) : nullptr;
    SIZE size{};
    GetTextExtentPoint32A(dc, text, lstrlenA(text), &size);
    if (was)
        SelectObject(dc, was);
    ReleaseDC(control, dc);
    std::printf("fits %d %s %ld/%ld\n", GetDlgCtrlID(control),
                size.cx <= box.right - box.left ? "yes" : "no", long(size.cx),
                long(box.right - box.left));
}

BOOL CALLBACK print_control(HWND control, LPARAM)
{
    // Messages rather than GetWindowText, which does not ask a window of
    // another process for its text.
    char cls[64] = "", text[256] = "";
    GetClassNameA(control, cls, sizeof cls);
    SendMessageA(control, WM_GETTEXT, sizeof text, LPARAM(text));
    std::printf("control %d %s %s\n", GetDlgCtrlID(control), cls, text);
    if (lstrcmpiA(cls, "Edit") == 0)
        print_fit(control, text);
    if (lstrcmpiA(cls, "ComboBox") == 0) {
        const LRESULT count = SendMessageA(control, CB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count && i < 64; ++i) {
            // The wide form: the narrow one comes back cut across processes.
            wchar_t item[256] = L"";
            if (SendMessageW(control, CB_GETLBTEXTLEN, WPARAM(i), 0) >= 256)
                continue;
            SendMessageW(control, CB_GETLBTEXT, WPARAM(i), LPARAM(item));
            std::printf("item %d %ls\n", int(i), item);
        }
        std::printf("selected %d\n", int(SendMessageA(control, CB_GETCURSEL, 0, 0)));
    }
    return TRUE;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: zmk-peek CAPTION\n");
        return 2;
    }
    HWND window = FindWindowA(nullptr, argv[1]);
    if (!window)
        return 1;
    EnumChildWindows(window, print_control, 0);
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &gui);
    std::printf("focus %d\n", gui.hwndFocus ? GetDlgCtrlID(gui.hwndFocus) : -1);
    return 0;
}
