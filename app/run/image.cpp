// The image a run flashes.
#include "app/run/image.h"

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

bool read_image(const std::string &path, std::vector<uint8_t> *out, std::string *why)
{
    *why = unfit_image(path);
    if (!why->empty())
        return false;
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = in ? std::streamoff(in.tellg()) : -1;
    if (size > 0 && uintmax_t(size) <= image_max) {
        out->resize(size_t(size));
        in.seekg(0);
        if (in.read(reinterpret_cast<char *>(out->data()), size))
            return true;
    }
    *why = "cannot read image " + path + ": " + std::strerror(errno);
    return false;
}

const uint8_t *image_bytes(const run_image &t)
{
    if (!t.bytes.empty())
        return t.bytes.data();
    uint32_t size = 0;
    const uint8_t *embedded = resource_find("binfile", &size);
    ZMK_ASSERT(embedded && size == t.size);
    return embedded;
}

} // namespace

const uint8_t *run_image_bytes(const run_image &t) { return image_bytes(t); }

bool run_image_load(const std::string &path, run_image *out, std::string *why)
{
    *out = run_image{};
    if (!path.empty()) {
        if (!read_image(path, &out->bytes, why))
            return false;
        const size_t slash = path.find_last_of("/\\");
        out->name = slash == std::string::npos ? path : path.substr(slash + 1);
        out->size = uint32_t(out->bytes.size());
        out->crc32 = crc32_block(out->bytes.data(), int32_t(out->size));
        return true;
    }
    const uint8_t *embedded = resource_find("binfile", &out->size);
    out->name = "built-in";
    out->crc32 = embedded ? crc32_block(embedded, int32_t(out->size)) : 0;
    return true;
}

void run_image_put(run_image *t, uint64_t at, const std::vector<uint8_t> &bytes)
{
    if (t->bytes.empty()) {
        const uint8_t *embedded = image_bytes(*t);
        t->bytes.assign(embedded, embedded + t->size);
    }
    ZMK_ASSERT(at <= t->bytes.size() && bytes.size() <= t->bytes.size() - at);
    std::copy(bytes.begin(), bytes.end(), t->bytes.begin() + std::ptrdiff_t(at));
}

uint32_t run_image_written_crc32(const run_image &t, uint64_t at, const std::vector<uint8_t> &bytes)
{
    if (bytes.empty() || t.size == 0)
        return t.bytes.empty() ? t.crc32 : crc32_block(t.bytes.data(), int32_t(t.bytes.size()));
    ZMK_ASSERT(at <= t.size && bytes.size() <= t.size - at);
    const uint8_t *image = image_bytes(t);
    uint32_t reg = 0xFFFFFFFFu;
    for (uint64_t i = 0; i < t.size; ++i)
        reg = crc32_byte(reg, i >= at && i - at < bytes.size() ? bytes[size_t(i - at)] : image[i]);
    return ~reg;
}
