#include "app/cli/cli.h"

int main(int argc, char **argv)
{
    cli_options opt;
    int rc = cli_parse(argc, argv, &opt);
    if (rc >= 0)
        return rc;
    return cli_run(opt);
}
