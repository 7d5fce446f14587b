// An in-memory port for the flasher tests: counts what the flasher does with
// it and never answers, so no run ever completes.
#include "tests/app/fake_port.h"

#include <cstring>

fake_port_state fake_port;

namespace {
port_s *const the_handle = reinterpret_cast<port_s *>(&fake_port);
}

port_handle port_open(const char *name)
{
    ++fake_port.opens;
    if (std::strcmp(name, "missing") == 0) {
        fake_port.last_error = 2;
        return nullptr;
    }
    return the_handle;
}
void port_close(port_handle) {}
int port_write(port_handle, const void *, int n)
{
    ++fake_port.calls;
    return n;
}
int port_read(port_handle, void *, int)
{
    ++fake_port.calls;
    return 0;
}
int port_get_line(port_handle, port_line *) { return ++fake_port.calls, 0; }
int port_set_line(port_handle, const port_line *) { return ++fake_port.calls, 0; }
void port_line_make_raw(port_line *, uint32_t) {}
int port_get_timeouts(port_handle, port_timeouts *) { return ++fake_port.calls, 0; }
int port_set_timeouts(port_handle, const port_timeouts *) { return ++fake_port.calls, 0; }
uint32_t port_last_error() { return fake_port.last_error; }
int port_error_text(uint32_t, char *dest, int size)
{
    const int n = int(fake_port.error_text.size());
    if (n + 1 > size)
        return 0;
    std::memcpy(dest, fake_port.error_text.c_str(), size_t(n) + 1);
    return n;
}
