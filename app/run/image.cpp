// The image zmk-cli flashes.
#include "app/cli/cli.h"

#include "framework/bytes.h"
#include "framework/zassert.h"
#include "platform/resource.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// Larger files are not firmware for this device.
constexpr uintmax_t image_max = 16 * 1024 * 1024;

// Why `path` cannot be an image, or "" when it may be one.
std::string unfit_image(const std::string &path)
{
    std::error_code ec;
    const std::filesystem::file_status st = std::filesystem::status(path, ec);
    if (ec)
        return "cannot read image " + path + ": " + ec.message();
    if (std::filesystem::is_directory(st))
        return "image " + path + " is a directory";
    if (!std::filesystem::is_regular_file(st))
        return "image " + path + " is not a regular file";
    const uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec)
        return "cannot read image " + path + ": " + ec.message();
    if (size == 0)
        return "image " + path + " is empty";
    if (size > image_max)
        return "image " + path + " is too large: " + std::to_string(size) +
               " bytes is more than the 16 MiB limit";
    return "";
}

int read_image(const std::string &path, std::vector<uint8_t> *out)
{
    const std::string unfit = unfit_image(path);
    if (!unfit.empty()) {
        std::fprintf(stderr, "zmk-cli: %s\n", unfit.c_str());
        return -1;
    }
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = in ? std::streamoff(in.tellg()) : -1;
    if (size > 0 && uintmax_t(size) <= image_max) {
        out->resize(size_t(size));
        in.seekg(0);
        if (in.read(reinterpret_cast<char *>(out->data()), size))
            return 0;
    }
    std::fprintf(stderr, "zmk-cli: cannot read image %s: %s\n", path.c_str(), std::strerror(errno));
    return -1;
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

void cli_image_put(cli_image *t, uint64_t at, const std::vector<uint8_t> &bytes)
{
    if (t->bytes.empty()) {
        uint32_t size = 0;
        const uint8_t *embedded = resource_find("binfile", &size);
        ZMK_ASSERT(embedded && size == t->size);
        t->bytes.assign(embedded, embedded + size);
    }
    ZMK_ASSERT(at <= t->bytes.size() && bytes.size() <= t->bytes.size() - at);
    std::copy(bytes.begin(), bytes.end(), t->bytes.begin() + std::ptrdiff_t(at));
}
