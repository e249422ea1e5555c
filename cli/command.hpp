// A command of `kdr` as the command table holds it: its name, its one-line
// summary, what adds its options to its CLI11 subcommand and what runs it.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <memory>
#include <string_view>

#include "cli/app.hpp"

namespace kdr::cli {

struct Command {
    std::string_view name;
    std::string_view summary;
    /// Adds the command's options to its subcommand, bound to options of its
    /// own, and returns what runs the command with them once parsed.
    std::function<std::function<int(Console&)>(CLI::App&)> define;
};

/// A command whose options are an `Options`: `add_options` declares them on
/// the subcommand, `run` runs the command with what was parsed.
template <class Options>
Command make_command(std::string_view name, std::string_view summary,
                     void (*add_options)(CLI::App&, Options&),
                     int (*run)(const Options&, Console&)) {
    return {name, summary, [add_options, run](CLI::App& command) {
                auto options = std::make_shared<Options>();
                add_options(command, *options);
                return std::function<int(Console&)>(
                    [options, run](Console& console) { return run(*options, console); });
            }};
}

}  // namespace kdr::cli
