#include "app/ledger/serial.h"

#include <cstdio>
#include <fstream>
#include <set>

bool serial_parse_number(const std::string &text, uint64_t *out)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const unsigned base = hex ? 16 : 10;
    if (text.empty() || text.size() == 2u * hex)
        return false;
    uint64_t v = 0;
    for (size_t i = hex ? 2 : 0; i < text.size(); ++i) {
        const char c = text[i];
        unsigned d = c >= '0' && c <= '9'   ? unsigned(c - '0')
                     : c >= 'a' && c <= 'f' ? unsigned(c - 'a' + 10)
                     : c >= 'A' && c <= 'F' ? unsigned(c - 'A' + 10)
                                            : 99;
        if (d >= base || v > (UINT64_MAX - d) / base)
            return false;
        v = v * base + d;
    }
    *out = v;
    return true;
}

bool serial_parse_format(const std::string &text, serial_format *out)
{
    const struct {
        const char *name;
        serial_format f;
    } fixed[] = {{"u32le", {SERIAL_U32LE, 4}},
                 {"u32be", {SERIAL_U32BE, 4}},
                 {"u64le", {SERIAL_U64LE, 8}},
                 {"u64be", {SERIAL_U64BE, 8}}};
    for (const auto &f : fixed)
        if (text == f.name) {
            *out = f.f;
            return true;
        }
    uint64_t n = 0;
    if (text.rfind("ascii:", 0) != 0 || !serial_parse_number(text.substr(6), &n) || n < 1 || n > 20)
        return false;
    *out = serial_format{SERIAL_ASCII, uint32_t(n)};
    return true;
}

uint64_t serial_format_max(const serial_format &f)
{
    if (f.kind == SERIAL_U32LE || f.kind == SERIAL_U32BE)
        return 0xffffffffu;
    if (f.kind != SERIAL_ASCII || f.width >= 19)
        return SERIAL_MAX;
    uint64_t max = 1;
    for (uint32_t i = 0; i < f.width; ++i)
        max *= 10;
    return max - 1;
}

bool serial_encode(const serial_format &f, uint64_t value, uint8_t *dest)
{
    if (value > serial_format_max(f))
        return false;
    const bool big = f.kind == SERIAL_U32BE || f.kind == SERIAL_U64BE;
    for (uint32_t i = 0; i < f.width; ++i) {
        if (f.kind == SERIAL_ASCII) // decimal, zero-padded, most significant first
            dest[f.width - 1 - i] = uint8_t('0' + value % 10), value /= 10;
        else
            dest[big ? f.width - 1 - i : i] = uint8_t(value >> (8 * i));
    }
    return true;
}

std::string serial_hex(const uint8_t *bytes, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += {digits[bytes[i] >> 4], digits[bytes[i] & 15]};
    return s;
}

bool serial_unhex(const std::string &text, std::vector<uint8_t> *out)
{
    out->clear();
    if (text.size() % 2)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        uint64_t b = 0;
        if (!serial_parse_number("0x" + text.substr(i, 2), &b))
            return false;
        out->push_back(uint8_t(b));
    }
    return true;
}

namespace {

// One value per line; blank lines and lines starting with '#' are skipped.
std::string read_list(const std::string &path, const serial_format &f, std::vector<uint64_t> *out)
{
    std::ifstream in(path);
    if (!in)
        return "cannot read the serial list " + path;
    std::set<uint64_t> seen;
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        if (n == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0)
            line.erase(0, 3); // the byte-order mark some editors put first
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        const std::string where = path + " line " + std::to_string(n) + ": ";
        uint64_t v = 0;
        if (!serial_parse_number(line, &v))
            return where + "'" + line +
                   "' is not a serial number: numbers are 0 or more, decimal or 0x hex";
        if (v > serial_format_max(f))
            return where + line + " does not fit the serial format";
        if (!seen.insert(v).second)
            return where + line + " is listed twice";
        out->push_back(v);
    }
    return out->empty() ? "the serial list " + path + " holds no number" : "";
}

std::string number_option(const char *name, const std::string &text, uint64_t *out)
{
    if (serial_parse_number(text, out))
        return "";
    return std::string(name) + " expects a number (decimal, or hex as 0x...), not '" + text + "'";
}

std::string range_of(const serial_settings &opt, serial_plan *p)
{
    const uint64_t max = serial_format_max(p->format);
    std::string why = number_option("--serial-start", opt.start, &p->start);
    if (why.empty() && !opt.step.empty())
        why = number_option("--serial-step", opt.step, &p->step);
    p->last = max;
    if (why.empty() && !opt.end.empty())
        why = number_option("--serial-end", opt.end, &p->last);
    if (!why.empty())
        return why;
    if (p->step == 0)
        return "--serial-step must be 1 or more";
    if (p->start > max)
        return "--serial-start " + opt.start + " does not fit " + p->format_name;
    if (p->last > max)
        return "--serial-end " + opt.end + " does not fit " + p->format_name;
    if (p->last < p->start)
        return "the serial range is used up before it starts: --serial-end is below --serial-start";
    return "";
}

} // namespace

namespace {

// Where the number goes and how it is written, as far as given.
std::string place_of(const serial_settings &opt, serial_plan *p)
{
    p->format_given = !opt.format.empty();
    p->format_name = p->format_given ? opt.format : "u32le";
    if (!serial_parse_format(p->format_name, &p->format))
        return "--serial-format takes u32le, u32be, u64le, u64be or ascii:N (N from 1 to 20)";
    p->at_given = !opt.at.empty();
    return p->at_given ? number_option("--serial-at", opt.at, &p->at) : "";
}

// The range or the list, when given.
std::string numbers_of(const serial_settings &opt, serial_plan *p)
{
    p->numbers = !opt.start.empty() || !opt.list.empty();
    if (!opt.start.empty() && !opt.list.empty())
        return "give --serial-start or --serial-list, not both";
    if (!p->numbers)
        return !opt.end.empty() || !opt.step.empty()
                   ? "--serial-step and --serial-end go with --serial-start"
                   : "";
    p->list = !opt.list.empty();
    if (p->list && (!opt.end.empty() || !opt.step.empty()))
        return "--serial-step and --serial-end go with --serial-start, not with a list";
    return p->list ? read_list(opt.list, p->format, &p->values) : range_of(opt, p);
}

std::string plan_refusal(const serial_settings &opt, bool have_db, uint32_t image_size,
                         serial_plan *out)
{
    serial_plan &p = *out;
    p = serial_plan{};
    p.given = !opt.at.empty() || !opt.start.empty() || !opt.list.empty() || !opt.end.empty() ||
              !opt.step.empty() || !opt.pool.empty() || !opt.format.empty() || opt.new_pool;
    if (!p.given)
        return "";
    if (!have_db)
        return "serial numbers need --db (an SQLite file, or postgresql://...) to keep their "
               "ledger";
    p.new_pool = opt.new_pool;
    p.allow_overlap = opt.allow_overlap;
    p.pool = opt.pool.empty() ? "default" : opt.pool;
    std::string why = place_of(opt, &p);
    if (why.empty())
        why = numbers_of(opt, &p);
    if (why.empty() && p.new_pool && (!p.at_given || !p.numbers))
        why = "--new-pool needs the pool's whole definition: --serial-at OFFSET, and "
              "--serial-start N or --serial-list FILE (--serial-format: u32le unless given)";
    std::string fits;
    if (why.empty() && p.at_given && serial_plan_fits(p, image_size, &fits) != LINE_OK)
        why = fits;
    return why;
}

} // namespace

line_status serial_plan_make(const serial_settings &opt, bool have_db, uint32_t image_size,
                             serial_plan *out, std::string *why)
{
    *why = plan_refusal(opt, have_db, image_size, out);
    return why->empty() ? LINE_OK : LINE_REFUSED;
}

line_status serial_plan_fits(const serial_plan &p, uint32_t image_size, std::string *why)
{
    if (p.at < image_size && image_size - p.at >= p.format.width)
        return LINE_OK;
    char text[200];
    std::snprintf(text, sizeof text,
                  "the serial number's %u bytes at 0x%llx do not fit in the image (%u bytes)",
                  unsigned(p.format.width), static_cast<unsigned long long>(p.at),
                  unsigned(image_size));
    *why = text;
    return LINE_REFUSED;
}
