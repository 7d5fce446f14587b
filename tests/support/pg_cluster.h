// A throwaway PostgreSQL cluster for tests and the benchmark (Linux): made by
// initdb in a temporary directory, listening on a free TCP port of 127.0.0.1
// and on a socket in that directory, removed when freed. Never the system's
// service. initdb and the server refuse root, so under root the server runs as
// `nobody`, which then owns the directory.
#pragma once

#include <string>

struct pg_cluster;

// initdb, the server started, a database "zmk"; nullptr with the reason.
pg_cluster *pg_cluster_new(std::string *why);
// Stops the server and removes the directory.
void pg_cluster_free(pg_cluster *t);
// "postgresql://zmk@127.0.0.1:PORT/zmk" (no password: the cluster trusts local connections).
std::string pg_cluster_uri(const pg_cluster *t);
// Another database in the cluster; its URI, or "" with the reason.
std::string pg_cluster_create_db(pg_cluster *t, const std::string &name, std::string *why);
// The server stopped (connections cut) and started again on the same port and data.
bool pg_cluster_stop(pg_cluster *t, std::string *why);
bool pg_cluster_start(pg_cluster *t, std::string *why);
