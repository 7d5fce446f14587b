// Where a password sits in a database name: a URI's user information or its
// password parameter, or a conninfo's password keyword.
#include "app/cli/hide_password.h"

#include "framework/zassert.h"
#include "platform/args.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace {

using span = std::pair<size_t, size_t>; // from, length

void uri_spans(const std::string &db, std::vector<span> *out)
{
    const size_t from = db.find("://") + 3;
    const size_t end = std::min(db.find_first_of("/?#", from), db.size());
    const size_t at = end > from ? db.rfind('@', end - 1) : std::string::npos;
    const size_t colon = db.find(':', from);
    if (at != std::string::npos && at >= from && colon < at)
        out->push_back({colon + 1, at - colon - 1});
    const size_t query = db.find('?', from);
    const size_t stop = std::min(db.find('#', from), db.size());
    for (size_t k = query == std::string::npos ? stop : query + 1; k < stop;) {
        const size_t amp = std::min(db.find('&', k), stop);
        if (db.compare(k, 9, "password=") == 0)
            out->push_back({k + 9, amp - k - 9});
        k = amp + 1;
    }
}

// "host=h password = 'it''s' dbname=d": keywords, '=', values plain or quoted
// (backslash escapes). Stops at what is no conninfo.
void conninfo_spans(const std::string &db, std::vector<span> *out)
{
    auto blank = [&](size_t i) { return i < db.size() && std::strchr(" \t\n\r\f\v", db[i]); };
    for (size_t i = 0; i < db.size();) {
        while (blank(i))
            ++i;
        const size_t key = i;
        while (i < db.size() && (std::isalnum((unsigned char)db[i]) || db[i] == '_'))
            ++i;
        const std::string name = db.substr(key, i - key);
        while (blank(i))
            ++i;
        if (name.empty() || i >= db.size() || db[i] != '=')
            return;
        ++i;
        while (blank(i))
            ++i;
        const bool quoted = i < db.size() && db[i] == '\'';
        const size_t value = quoted ? ++i : i;
        while (i < db.size() && (quoted ? db[i] != '\'' : !blank(i)))
            i += quoted && db[i] == '\\' ? 2 : 1;
        i = std::min(i, db.size());
        if (name == "password")
            out->push_back({value, i - value});
        i += quoted ? 1 : 0;
    }
}

} // namespace

std::string cli_db_masked(const std::string &db, bool *found)
{
    std::vector<span> spans;
    if (db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0)
        uri_spans(db, &spans);
    else if (db.find('=') != std::string::npos)
        conninfo_spans(db, &spans);
    std::string out = db;
    *found = false;
    for (auto s = spans.rbegin(); s != spans.rend(); ++s) // from the end: earlier places hold
        if (s->second > 0) {
            out.replace(s->first, s->second, std::string(std::min<size_t>(3, s->second), '*'));
            *found = true;
        }
    ZMK_ASSERT(out.size() <= db.size());
    return out;
}

bool cli_hide_password(int argc, char **argv)
{
    bool any = false;
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        char *value = nullptr;
        if (std::strcmp(argv[i], "--db") == 0 && i + 1 < argc)
            value = argv[++i];
        else if (std::strncmp(argv[i], "--db=", 5) == 0)
            value = argv[i] + 5;
        bool found = false;
        const std::string masked = value ? cli_db_masked(value, &found) : "";
        if (found)
            platform_arg_rewrite(value, masked);
        any = any || found;
    }
    if (any)
        std::fprintf(stderr, "zmk-cli: warning: --db holds a password, which other users can "
                             "see in the process list until zmk-cli has read it; keep it in "
                             "libpq's password file (~/.pgpass) or in PGPASSWORD instead\n");
    return any;
}
