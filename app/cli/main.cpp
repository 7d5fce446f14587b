#include "app/cli/cli.h"
#include "app/cli/hide_password.h"
#include "app/cli/options.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    // Every text is flushed whole; unbuffered, the Windows C library would
    // write it a character at a time.
    static char out_buffer[1024];
    std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
    // The options are read from a copy: a password is gone from the process
    // list before anything else happens.
    std::vector<std::string> given(argv, argv + argc);
    cli_hide_password(argc, argv);
    std::vector<char *> args;
    for (std::string &a : given)
        args.push_back(a.data());
    args.push_back(nullptr);
    cli_options opt;
    int rc = cli_parse(argc, args.data(), &opt);
    if (rc >= 0)
        return rc;
    return cli_run(opt);
}
