// `kdr serve`: the station's web view of a store, read only.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "cli/app.hpp"

namespace kdr::cli {

struct ServeOptions {
    std::optional<std::string> db;  ///< --db, or KDR_DB
    std::string listen;             ///< --listen HOST:PORT; empty: loopback, the default port
    std::optional<std::string> token_file;
    int stale_days = 7;
    int threads = 0;  ///< --threads; 0: as many as suit the store and processors
};

void add_serve_options(CLI::App& command, ServeOptions& options);
/// Serves until SIGINT or SIGTERM. Exit 2 for listening beyond this machine
/// without --token-file.
int command_serve(const ServeOptions& options, Console& console);

}  // namespace kdr::cli
