// kdr: the command-line tool for the KDR reader.
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli/app.hpp"

int main(int argc, char** argv) {
    // A reader of our output that goes away (kdr ... | head) is reported as a
    // write error rather than killing the program mid-exchange.
    ::signal(SIGPIPE, SIG_IGN);
    std::ios::sync_with_stdio(true);
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    // Results through a buffer of the command's own, which keeps why a write
    // failed (a full disk) for the one message that says so.
    kdr::cli::DescriptorOutput results(STDOUT_FILENO);
    std::ostream out(&results);
    kdr::cli::Console console{
        std::cin,
        out,
        std::cerr,
        ::isatty(STDIN_FILENO) == 1,
        ::isatty(STDERR_FILENO) == 1,
        [&results] { return results.error(); },
        kdr::cli::is_journal_stream(STDOUT_FILENO) || kdr::cli::is_journal_stream(STDERR_FILENO),
        ::isatty(STDOUT_FILENO) == 1};
    return kdr::cli::run(args, console);
}
