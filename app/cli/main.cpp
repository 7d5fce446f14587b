#include "app/cli/cli.h"
#include "app/cli/options.h"

#include <cstdio>

int main(int argc, char **argv)
{
    // Every text is flushed whole; unbuffered, the Windows C library would
    // write it a character at a time.
    static char out_buffer[1024];
    std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
    cli_options opt;
    int rc = cli_parse(argc, argv, &opt);
    if (rc >= 0)
        return rc;
    return cli_run(opt);
}
