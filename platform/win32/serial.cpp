// The port seam on the Win32 comm API: a synchronous port handle, the DCB as
// the line record and COMMTIMEOUTS as the time-out record.
#include "platform/serial.h"

#include <windows.h>

#include <cctype>
#include <cstring>
#include <new>

static_assert(sizeof(DCB) <= sizeof(port_line));

namespace {

struct win32_port : port_s {
    HANDLE h;
};

HANDLE handle_of(port_handle t) { return static_cast<win32_port *>(t)->h; }

// What the comm API answers for a handle that is no serial port.
constexpr DWORD not_a_port_error = ERROR_INVALID_FUNCTION;

// The errors a removed USB adapter gives its open handle. A line hung up
// under Wine fails writes and state calls with "not ready" and reads nothing.
bool is_gone_error(DWORD e)
{
    switch (e) {
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_HANDLE_EOF:
    case ERROR_BROKEN_PIPE:
    case 433: // no such device, missing from older headers
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED: return true;
    default: return false;
    }
}

port_status failed() { return is_gone_error(GetLastError()) ? PORT_GONE : PORT_FAILED; }

// "comN" only names COM1..COM9 as a plain file name; every port exists under
// its device path, so plain port names are opened that way.
bool is_plain_com_name(const char *name)
{
    if (std::tolower(static_cast<unsigned char>(name[0])) != 'c' ||
        std::tolower(static_cast<unsigned char>(name[1])) != 'o' ||
        std::tolower(static_cast<unsigned char>(name[2])) != 'm' || name[3] == '\0')
        return false;
    for (const char *p = name + 3; *p; ++p)
        if (!std::isdigit(static_cast<unsigned char>(*p)))
            return false;
    return true;
}

// A serial port is a character device whose comm state can be read; a file, a
// directory, a pipe or NUL is not, and is never written.
bool is_serial_port(HANDLE h)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    return GetFileType(h) == FILE_TYPE_CHAR && GetCommState(h, &dcb);
}

port_handle not_a_port()
{
    SetLastError(not_a_port_error);
    return nullptr;
}

// How long a read of n bytes may take under the port's time-outs; 0 when
// unbounded, and a tenth of a second when a dead port no longer tells.
DWORD read_limit_ms(HANDLE h, int n)
{
    COMMTIMEOUTS ct{};
    if (!GetCommTimeouts(h, &ct))
        return 100;
    if (ct.ReadIntervalTimeout == MAXDWORD && ct.ReadTotalTimeoutMultiplier == MAXDWORD)
        return ct.ReadTotalTimeoutConstant == MAXDWORD ? 0 : ct.ReadTotalTimeoutConstant;
    unsigned long long total = (unsigned long long)ct.ReadTotalTimeoutMultiplier * unsigned(n) +
                               ct.ReadTotalTimeoutConstant;
    return total < 60000 ? DWORD(total) : 60000;
}

port_status win32_read(port_handle t, void *dest, int n, int *got)
{
    const DWORD start = GetTickCount();
    DWORD count = 0;
    if (!t->gone && ReadFile(handle_of(t), dest, DWORD(n), &count, nullptr)) {
        *got = int(count);
        return count ? PORT_DONE : PORT_TIMED_OUT;
    }
    const port_status s = t->gone ? PORT_GONE : failed();
    // A port that has gone away fails every read at once; waiting out the
    // time-out keeps a caller that simply reads again from spinning.
    DWORD limit = read_limit_ms(handle_of(t), n);
    DWORD spent = GetTickCount() - start;
    if (spent < limit)
        Sleep(limit - spent);
    return s;
}

// The write time-out of the port's time-outs bounds WriteFile: a device
// that stops reading makes it return with fewer bytes written.
port_status win32_write(port_handle t, const void *src, int n, int *taken)
{
    if (t->gone)
        return PORT_GONE;
    DWORD written = 0;
    if (!WriteFile(handle_of(t), src, DWORD(n), &written, nullptr))
        return failed();
    *taken = int(written);
    return *taken == n ? PORT_DONE : PORT_TIMED_OUT;
}

port_status win32_get_line(port_handle t, port_line *line)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle_of(t), &dcb))
        return failed();
    std::memset(line->raw, 0, sizeof line->raw);
    std::memcpy(line->raw, &dcb, sizeof dcb);
    return PORT_DONE;
}

port_status win32_set_line(port_handle t, const port_line *line)
{
    DCB dcb;
    std::memcpy(&dcb, line->raw, sizeof dcb);
    return SetCommState(handle_of(t), &dcb) ? PORT_DONE : failed();
}

port_status win32_get_timeouts(port_handle t, port_timeouts *timeouts)
{
    COMMTIMEOUTS ct{};
    if (!GetCommTimeouts(handle_of(t), &ct))
        return failed();
    timeouts->ReadIntervalTimeout = ct.ReadIntervalTimeout;
    timeouts->ReadTotalTimeoutMultiplier = ct.ReadTotalTimeoutMultiplier;
    timeouts->ReadTotalTimeoutConstant = ct.ReadTotalTimeoutConstant;
    timeouts->WriteTotalTimeoutMultiplier = ct.WriteTotalTimeoutMultiplier;
    timeouts->WriteTotalTimeoutConstant = ct.WriteTotalTimeoutConstant;
    return PORT_DONE;
}

port_status win32_set_timeouts(port_handle t, const port_timeouts *timeouts)
{
    COMMTIMEOUTS ct{};
    ct.ReadIntervalTimeout = timeouts->ReadIntervalTimeout;
    ct.ReadTotalTimeoutMultiplier = timeouts->ReadTotalTimeoutMultiplier;
    ct.ReadTotalTimeoutConstant = timeouts->ReadTotalTimeoutConstant;
    ct.WriteTotalTimeoutMultiplier = timeouts->WriteTotalTimeoutMultiplier;
    ct.WriteTotalTimeoutConstant = timeouts->WriteTotalTimeoutConstant;
    return SetCommTimeouts(handle_of(t), &ct) ? PORT_DONE : failed();
}

void win32_close(port_handle t)
{
    CloseHandle(handle_of(t));
    delete static_cast<win32_port *>(t);
}

constexpr port_ops win32_ops{win32_read,         win32_write,        win32_get_line, win32_set_line,
                             win32_get_timeouts, win32_set_timeouts, win32_close};

} // namespace

port_handle port_os_open(const char *name)
{
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    char path[64];
    if (is_plain_com_name(name) && std::strlen(name) + 5 <= sizeof path) {
        std::memcpy(path, "\\\\.\\", 4);
        std::strcpy(path + 4, name);
        name = path;
    }
    const DWORD attributes = GetFileAttributesA(name);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return not_a_port();
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    if (!is_serial_port(h)) {
        CloseHandle(h);
        return not_a_port();
    }
    auto *t = new (std::nothrow) win32_port{};
    if (!t) {
        CloseHandle(h);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    t->ops = &win32_ops;
    t->h = h;
    return t;
}

void port_line_make_raw(port_line *line, uint32_t baud)
{
    DCB dcb;
    std::memcpy(&dcb, line->raw, sizeof dcb);
    dcb.BaudRate = baud;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 0;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    std::memcpy(line->raw, &dcb, sizeof dcb);
}
