// `kdr demo`: a download from the built-in simulator, as `kdr download`
// makes it, with nothing to connect.
#include <fmt/format.h>

#include <string>
#include <string_view>

#include "cli/commands.hpp"
#include "cli/options.hpp"
#include "kdr/simulator.hpp"
#include "kdr/system.hpp"
#include "writers/formats.hpp"

namespace kdr::cli {

namespace sim = kdr::simulator;

void add_demo_options(CLI::App& command, DemoOptions& options) {
    command.add_option("-n,--records", options.records, "How many records the reader holds")
        ->option_text("N")
        ->default_str(std::to_string(options.records))
        ->check(CLI::Range(0, 99999));
    command.add_flag("--fast", options.fast,
                     "Let the simulator answer at once rather than at 19200 baud");
    add_format_option(command, options.format, writers::format_names(false),
                      "the formats of kdr download");
    command.add_flag("--trace", options.trace,
                     "Dump every byte sent and received, with timestamps, to standard error");
    command.add_flag("-q,--quiet", options.quiet,
                     "Nothing on standard error but errors: no progress, no notes");
    command.footer(R"(Examples:
  kdr demo
  kdr demo --records 50 --format json
  kdr demo --trace)");
}

int command_demo(const DemoOptions& options, Console& console) {
    constexpr std::string_view kPassword = "demo";
    sim::ReaderConfig config;
    config.password = std::string(kPassword);
    config.machine_id = "KDR00042";
    config.clock = local_now();
    config.records = sim::sample_records(options.records, sim::add_seconds(config.clock, -120));
    config.pacing = options.fast ? sim::Pacing::Fast : sim::Pacing::LineRate;

    sim::PtyServer server(config);
    server.start();
    const std::string path = server.device_path();
    if (!options.quiet) {
        console.err
            << fmt::format(
                   "kdr: a simulated KDR reader holding {} record(s) answers on {} (password "
                   "\"{}\"){}.\nkdr: running kdr download --port {} --password {} --machine-id "
                   "--rtc{}\n\n",
                   config.records.size(), path, kPassword,
                   options.fast ? "" : " at the reader's 19200 baud", path, kPassword,
                   options.format == "text" ? "" : " --format " + options.format)
            << std::flush;
    }
    DownloadOptions download;
    download.line = LineOptions{path, std::string(kPassword), options.trace, options.quiet, {}, {}};
    download.machine_id = true;
    download.dates = true;
    download.format = options.format;
    const int code = command_download(download, console);
    server.stop();
    if (const auto failure = server.failure()) {
        console.err << "kdr: the simulator failed: " << *failure << '\n';
        return kExitFailure;
    }
    return code;
}

}  // namespace kdr::cli
