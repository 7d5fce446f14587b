// Random line bytes into the SLIP decoder, over a port that serves the input
// and then stays silent. The first input byte picks a destination size, and
// the destination is exactly that big, so a write past it is caught at once;
// the rest then goes through the whole receive path into a full-size buffer.
// The port is the in-memory one of the test support, so nothing touches a real port.
#include "fuzz/run_checks.h"
#include "tests/support/mem_port.h"
#include "layers/ser.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int32_t delivered;
void top_rx(layer_t *, mlb_t *b) { delivered = b->data_length; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int dest_size = data[0];
    mem_port port;
    mem_port_init(&port);
    mem_port_serve(&port, data + 1, size - 1);
    std::vector<uint8_t> dest(static_cast<size_t>(dest_size));
    int n = ser_read_frame(&port, dest.data(), dest_size);
    require(n >= 0 && n < (dest_size > 0 ? dest_size : 1));
    require(port.pos <= port.size);

    static mlb_t *buf = mlb_new(SER_MAX_FRAME);
    static layer_t ser{}, top{};
    mem_port_serve(&port, data + 1, size - 1);
    ser_attach(&ser, &port);
    top.rx = top_rx;
    ser.upper = &top;
    delivered = -1;
    ser_rx(&ser, buf);
    require(delivered >= 0 && delivered < SER_MAX_FRAME);
    require(port.pos == port.size); // the drain took the rest
    ser_detach(&ser);
    return 0;
}
