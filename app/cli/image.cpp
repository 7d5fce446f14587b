// The image zmk-cli flashes, and the ports it can list.
#include "app/cli/cli.h"

#include "framework/bytes.h"
#include "platform/ports.h"
#include "platform/resource.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace {

// Larger files are not firmware for this device.
constexpr std::streamoff image_max = 16 * 1024 * 1024;

int read_image(const std::string &path, std::vector<uint8_t> *out)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        std::fprintf(stderr, "zmk-cli: cannot read image %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return -1;
    }
    std::streamoff size = in.tellg();
    if (size <= 0 || size > image_max) {
        std::fprintf(stderr, "zmk-cli: image %s is %s\n", path.c_str(),
                     size == 0 ? "empty" : "not a firmware image (size)");
        return -1;
    }
    out->resize(size_t(size));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char *>(out->data()), size)) {
        std::fprintf(stderr, "zmk-cli: cannot read image %s\n", path.c_str());
        return -1;
    }
    return 0;
}

} // namespace

int cli_load_image(const cli_options &opt, cli_image *out)
{
    *out = cli_image{};
    if (!opt.image.empty()) {
        if (read_image(opt.image, &out->bytes) != 0)
            return CLI_EXIT_USAGE;
        const size_t slash = opt.image.find_last_of("/\\");
        out->name = slash == std::string::npos ? opt.image : opt.image.substr(slash + 1);
        out->size = uint32_t(out->bytes.size());
        out->crc32 = crc32_block(out->bytes.data(), int32_t(out->size));
        return 0;
    }
    const uint8_t *embedded = resource_find("binfile", &out->size);
    out->name = "built-in";
    out->crc32 = embedded ? crc32_block(embedded, int32_t(out->size)) : 0;
    return 0;
}

int cli_list_ports()
{
    static port_info ports[PORTS_MAX];
    int n = ports_list(ports, PORTS_MAX);
    for (int i = 0; i < n; ++i) {
        if (ports[i].description[0])
            std::printf("%s\t%s\n", ports[i].path, ports[i].description);
        else
            std::printf("%s\n", ports[i].path);
    }
    if (n == 0)
        std::fprintf(stderr, "zmk-cli: no serial ports found\n");
    return CLI_EXIT_DONE;
}
