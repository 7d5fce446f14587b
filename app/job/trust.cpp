#include "app/job/trust.h"

#include "platform/config_dir.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

// Key and signature files are a few lines; anything longer is none.
constexpr std::streamoff key_max = 4096, signature_max = 16384;

// The file's text, at most `max` bytes; false with why.
bool read_small(const std::string &path, std::streamoff max, std::string *text, std::string *why)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = in ? std::streamoff(in.tellg()) : -1;
    if (size < 0 || size > max) {
        *why = size < 0 ? "cannot be read" : "is too large";
        return false;
    }
    text->assign(size_t(size), '\0');
    in.seekg(0);
    if (in.read(text->data(), size))
        return true;
    *why = "cannot be read";
    return false;
}

// The machine's *.pub files, in order; none when the folder is not there.
std::vector<std::string> machine_keys()
{
    char dir[1024] = "";
    platform_job_keys_dir(dir, sizeof dir);
    std::vector<std::string> out;
    std::error_code ec;
    if (!dir[0] || !std::filesystem::is_directory(dir, ec))
        return out;
    for (const auto &e : std::filesystem::directory_iterator(dir, ec))
        if (e.path().extension() == ".pub" && e.is_regular_file(ec))
            out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

bool load_key(const std::string &file, job_trust *out, std::string *why)
{
    std::string text, wrong;
    seal_key key;
    if (!read_small(file, key_max, &text, &wrong)) {
        *why = "the job key " + file + " " + wrong;
        return false;
    }
    if (!seal_key_parse(text, &key, &wrong)) {
        *why = "the job key " + file + " is no minisign public key: " + wrong;
        return false;
    }
    out->keys.push_back(key);
    out->files.push_back(file);
    return true;
}

std::string trusted_ids(const job_trust &t)
{
    std::string ids;
    for (const seal_key &k : t.keys)
        ids += (ids.empty() ? "" : ", ") + seal_key_id(k.id);
    return ids;
}

line_status refuse(const std::string &text, std::string *why)
{
    *why = text;
    return LINE_REFUSED;
}

} // namespace

line_status job_trust_load(const std::vector<std::string> &files, job_trust *out, std::string *why)
{
    *out = job_trust{};
    std::vector<std::string> all = files;
    for (const std::string &f : machine_keys())
        all.push_back(f);
    for (const std::string &f : all)
        if (!load_key(f, out, why))
            return LINE_REFUSED;
    return LINE_OK;
}

line_status job_trust_check(const job_trust &t, job *j, std::string *why)
{
    j->sealed = false;
    if (t.keys.empty())
        return LINE_OK;
    const std::string sig_file = j->path + ".minisig";
    std::string text, wrong;
    std::error_code ec;
    if (!std::filesystem::exists(sig_file, ec))
        return refuse(sig_file + " is missing: the job " + j->path +
                          " is not sealed, and this station runs only jobs sealed by key " +
                          trusted_ids(t),
                      why);
    seal_signature sig;
    if (!read_small(sig_file, signature_max, &text, &wrong))
        return refuse(sig_file + " " + wrong, why);
    if (!seal_signature_parse(text, &sig, &wrong))
        return refuse(sig_file + " is no minisign signature: " + wrong, why);
    for (const seal_key &k : t.keys) {
        if (std::memcmp(k.id, sig.id, sizeof k.id) != 0)
            continue;
        if (!seal_verify(k, sig, j->text, &wrong))
            return refuse(
                "the job " + j->path + " does not match its seal " + sig_file + ": " + wrong, why);
        j->sealed = true;
        j->key_id = seal_key_id(k.id);
        j->trusted_comment = sig.trusted_comment;
        return LINE_OK;
    }
    return refuse("the job " + j->path + " is sealed by key " + seal_key_id(sig.id) +
                      ", which this station does not trust (it trusts " + trusted_ids(t) + ")",
                  why);
}
