// kdr backup: a consistent copy of a SQLite store while stations write to it.
#include <fmt/format.h>

#include <string>

#include "cli/commands.hpp"
#include "cli/options.hpp"
#include "cli/store_reading.hpp"
#include "store/backup.hpp"

namespace kdr::cli {

namespace {

// A word for a shell: in single quotes unless it needs none.
std::string shell_word(const std::string& word) {
    if (word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                               "@%+=:,./-_") == std::string::npos) {
        return word;
    }
    std::string quoted = "'";
    for (const char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

}  // namespace

void add_backup_options(CLI::App& command, BackupOptions& options) {
    add_db_option(command, options.db);
    command.add_option("FILE", options.file, "The copy to write")->required();
    command.add_flag("--force", options.force, "Replace FILE when it exists");
    command.footer(R"(Copies a SQLite store as of one moment, every committed collect included,
while collects go on writing. The copy is written beside FILE and renamed to
FILE once whole and checked (PRAGMA quick_check); then one line says what it
holds. Exit 1 when FILE exists (without --force) or the copy fails, FILE
left as it was; exit 2 for a PostgreSQL store, which pg_dump copies.

Examples:
  kdr backup --db /var/lib/kdr/records.sqlite records-2026-12-07.sqlite
  kdr backup --db records.sqlite --force /backup/records.sqlite)");
}

int command_backup(const BackupOptions& options, Console& console) {
    const std::string target = store_target(options.db);
    if (store::is_postgres_target(target)) {
        const std::string uri = store::uri_without_password(target);
        console.err << fmt::format(
            "kdr: kdr backup copies SQLite stores; copy the PostgreSQL store {} with pg_dump, "
            "which reads it as of one moment while collects write, for example: pg_dump "
            "--format=custom --file={} {} (the password as for kdr: ~/.pgpass or PGPASSWORD)\n",
            uri, shell_word(options.file), shell_word(uri));
        return kExitUsage;
    }
    const store::BackupReport report = store::backup_sqlite(target, options.file, options.force);
    write_out(fmt::format("{}: copied to {}: {} reader(s), {} record(s), {} download(s), {} "
                          "bytes; quick check ok\n",
                          target, options.file, report.readers, report.records, report.downloads,
                          report.bytes),
              console);
    return kExitSuccess;
}

}  // namespace kdr::cli
