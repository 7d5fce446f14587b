// Who the page's server answers, and what every answer carries: the names
// a Host may give (DNS rebinding), the connections one address may hold,
// the token of a POST, and the headers that keep the page out of another
// site's frames.
#include "app/page/server_impl.h"

#include <algorithm>
#include <cctype>

namespace {

std::string lower(std::string_view s)
{
    std::string out(s);
    for (char &c : out)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// A DNS name as a Host gives it: letters, digits, '-', '_' and dots.
bool name_like(std::string_view s)
{
    if (s.empty() || s.front() == '.')
        return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
    });
}

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// "A.B.C.D", each 0 to 255 in decimal without leading zeros: what
// inet_pton takes on Linux, where Windows would take "127.1" or
// "2130706433" too.
bool dotted_quad(std::string_view text, asio::ip::address_v4::bytes_type *out)
{
    for (size_t i = 0; i < 4; ++i) {
        const size_t end = i < 3 ? text.find('.') : text.size();
        if (end == text.npos)
            return false;
        const std::string_view part = text.substr(0, end);
        if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0') ||
            part.find_first_not_of("0123456789") != part.npos)
            return false;
        const int n = std::stoi(std::string(part));
        if (n > 255)
            return false;
        (*out)[i] = static_cast<unsigned char>(n);
        text.remove_prefix(std::min(text.size(), end + 1));
    }
    return true;
}

bool address_ours(const ui_server &t, const asio::ip::address &reached,
                  const asio::ip::address &given)
{
    const asio::ip::address a = ui_unmapped(given);
    if (a == asio::ip::address_v4::loopback() || a == asio::ip::address_v6::loopback())
        return true;
    if (!t.bound.is_unspecified() && a == ui_unmapped(t.bound))
        return true;
    if (!reached.is_unspecified() && a == ui_unmapped(reached))
        return true;
    return std::find(t.addresses.begin(), t.addresses.end(), a) != t.addresses.end();
}

} // namespace

const char *const UI_CSP_ANY = "frame-ancestors 'none'";

bool ui_ip_parse(std::string_view text, asio::ip::address *out)
{
    asio::ip::address_v4::bytes_type v4;
    if (dotted_quad(text, &v4)) {
        *out = asio::ip::address_v4(v4);
        return true;
    }
    const std::string_view address = text.substr(0, text.find('%')); // then a scope
    if (address.find(':') == address.npos ||
        address.find_first_not_of("0123456789abcdefABCDEF:.") != address.npos)
        return false;
    beast::error_code ec;
    const asio::ip::address_v6 a = asio::ip::make_address_v6(std::string(text), ec);
    if (ec)
        return false;
    *out = a;
    return true;
}

asio::ip::address ui_unmapped(const asio::ip::address &a)
{
    if (a.is_v6() && a.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
    return a;
}

asio::ip::address ui_peer_key(const asio::ip::address &a)
{
    const asio::ip::address u = ui_unmapped(a);
    if (!u.is_v6())
        return u;
    asio::ip::address_v6::bytes_type b = u.to_v6().to_bytes();
    std::fill(b.begin() + 8, b.end(), 0); // one /64: what one site gets
    return asio::ip::address_v6(b);
}

bool ui_admit(ui_server *t, bool local, const asio::ip::address &key)
{
    if (t->connections >= UI_MAX_CONNECTIONS)
        return false;
    if (local)
        return true;
    if (t->remote >= UI_MAX_CONNECTIONS - UI_LOCAL_RESERVE)
        return false;
    const auto it = t->per_peer.find(key);
    return it == t->per_peer.end() || it->second < UI_PER_ADDRESS;
}

bool ui_hosts_parse(const std::vector<std::string> &hosts, std::vector<std::string> *names,
                    std::vector<asio::ip::address> *addresses, std::string *why)
{
    for (const std::string &given : hosts) {
        std::string h = lower(trimmed(given));
        asio::ip::address a;
        if (h.size() > 2 && h.front() == '[' && h.back() == ']') {
            if (ui_ip_parse(std::string_view(h).substr(1, h.size() - 2), &a) && a.is_v6()) {
                addresses->push_back(ui_unmapped(a));
                continue;
            }
        } else if (ui_ip_parse(h, &a)) {
            addresses->push_back(ui_unmapped(a));
            continue;
        } else if (name_like(h)) {
            if (h.back() == '.') // "station.lan." is "station.lan"
                h.pop_back();
            names->push_back(h);
            continue;
        }
        *why = "\"" + given + "\" is not a host name or address (written without a port)";
        return false;
    }
    return true;
}

ui_host_verdict ui_host_check(const ui_server &t, const asio::ip::address &reached,
                              std::string_view host)
{
    host = trimmed(host);
    std::string_view name = host, port;
    bool bracketed = false;
    if (!host.empty() && host.front() == '[') {
        const size_t end = host.find(']');
        if (end == host.npos)
            return UI_HOST_MALFORMED;
        name = host.substr(1, end - 1);
        const std::string_view rest = host.substr(end + 1);
        if (!rest.empty() && rest.front() != ':')
            return UI_HOST_MALFORMED;
        port = rest.empty() ? rest : rest.substr(1);
        bracketed = true;
    } else if (const size_t colon = host.find(':'); colon != host.npos) {
        name = host.substr(0, colon);
        port = host.substr(colon + 1);
    }
    if (name.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string_view::npos)
        return UI_HOST_MALFORMED;
    if (!port.empty() && std::stoul(std::string(port)) != t.port)
        return UI_HOST_FOREIGN;
    asio::ip::address a;
    if (bracketed) {
        if (!ui_ip_parse(name, &a) || !a.is_v6())
            return UI_HOST_MALFORMED;
        return address_ours(t, reached, a) ? UI_HOST_OK : UI_HOST_FOREIGN;
    }
    if (ui_ip_parse(name, &a)) // an IPv6 one has no colon here: only the v4 kind
        return address_ours(t, reached, a) ? UI_HOST_OK : UI_HOST_FOREIGN;
    if (!name_like(name))
        return UI_HOST_MALFORMED;
    std::string n = lower(name);
    if (n.back() == '.')
        n.pop_back();
    if (n == "localhost" || std::find(t.names.begin(), t.names.end(), n) != t.names.end())
        return UI_HOST_OK;
    return UI_HOST_FOREIGN;
}

std::string ui_random_hex(std::random_device &random, size_t bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    while (out.size() < 2 * bytes) {
        unsigned int r = random();
        for (int i = 0; i < 4 && out.size() < 2 * bytes; ++i, r >>= 8) {
            out += digits[(r >> 4) & 15];
            out += digits[r & 15];
        }
    }
    return out;
}

bool ui_token_matches(const std::string &token, std::string_view given)
{
    if (token.empty() || given.size() != token.size())
        return false;
    unsigned char differ = 0;
    for (size_t i = 0; i < token.size(); ++i)
        differ |= static_cast<unsigned char>(token[i] ^ given[i]);
    return differ == 0;
}

void ui_guard_headers(http::fields &f, const std::string &csp)
{
    f.set("Content-Security-Policy", csp);
    f.set("X-Frame-Options", "DENY");
    f.set("X-Content-Type-Options", "nosniff");
    f.set("Referrer-Policy", "no-referrer");
}

// The page's styles stay allowed inline (a style cannot run script, and
// the page may set them as attributes); its script runs by the nonce alone.
std::string ui_page_csp(const std::string &nonce)
{
    return "default-src 'self'; script-src 'self' 'nonce-" + nonce +
           "'; style-src 'self' 'unsafe-inline'; img-src 'self' data:; connect-src 'self'; "
           "frame-ancestors 'none'; base-uri 'none'; form-action 'self'";
}

std::vector<std::string> ui_page_pieces(const std::string &page, const std::string &token)
{
    std::string text = page;
    const std::string mark = "@ZMK_TOKEN@";
    for (size_t at = text.find(mark); at != text.npos; at = text.find(mark, at + token.size()))
        text.replace(at, mark.size(), token);
    std::vector<std::string> pieces;
    const std::string tag = "<script";
    size_t from = 0;
    for (size_t at = text.find(tag); at != text.npos; at = text.find(tag, at + tag.size())) {
        const size_t end = at + tag.size();
        if (end < text.size() &&
            (text[end] == '>' || std::isspace(static_cast<unsigned char>(text[end])))) {
            pieces.push_back(text.substr(from, end - from));
            from = end;
        }
    }
    pieces.push_back(text.substr(from));
    return pieces;
}
