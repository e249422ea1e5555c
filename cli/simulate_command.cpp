// `kdr simulate`: the reader simulator on a pseudo-terminal.
#include <fmt/format.h>
#include <signal.h>
#include <time.h>

#include <array>
#include <atomic>
#include <charconv>
#include <chrono>

#include "cli/commands.hpp"
#include "cli/options.hpp"
#include "cli/result_file.hpp"
#include "kdr/error.hpp"
#include "kdr/simulator.hpp"
#include "kdr/system.hpp"
#include "writers/formats.hpp"

namespace kdr::cli {

namespace {

namespace sim = kdr::simulator;

std::atomic<sim::PtyServer*> g_serving{nullptr};

extern "C" void stop_serving(int /*signal*/) {
    if (sim::PtyServer* server = g_serving.load()) {
        server->request_stop();
    }
}

/// Makes SIGINT, SIGTERM and SIGHUP stop the server for as long as it lives.
class StopSignals {
  public:
    explicit StopSignals(sim::PtyServer& server) {
        g_serving.store(&server);
        struct sigaction action {};
        action.sa_handler = stop_serving;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < kSignals.size(); ++i) {
            ::sigaction(kSignals[i], &action, &previous_[i]);
        }
    }
    ~StopSignals() {
        for (std::size_t i = 0; i < kSignals.size(); ++i) {
            ::sigaction(kSignals[i], &previous_[i], nullptr);
        }
        g_serving.store(nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

  private:
    static constexpr std::array<int, 3> kSignals{SIGINT, SIGTERM, SIGHUP};
    std::array<struct sigaction, 3> previous_{};
};

std::string time_of_day() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    return fmt::format("{:02}:{:02}:{:02}.{:03}", local.tm_hour, local.tm_min, local.tm_sec,
                       now.tv_nsec / 1'000'000);
}

// "YYYY-MM-DD HH:MM:SS" (or with a "T" between date and time).
LocalDateTime parse_clock(std::string_view text) {
    LocalDateTime when;
    std::array<int*, 6> fields{&when.year, &when.month,  &when.day,
                               &when.hour, &when.minute, &when.second};
    constexpr std::string_view kSeparators = "--T::";
    std::string_view rest = text;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const auto [end, error] =
            std::from_chars(rest.data(), rest.data() + rest.size(), *fields[i]);
        const std::size_t used = static_cast<std::size_t>(end - rest.data());
        const bool last = i + 1 == fields.size();
        const bool separator_ok = last ? used == rest.size()
                                       : used < rest.size() && (rest[used] == kSeparators[i] ||
                                                                (i == 2 && rest[used] == ' '));
        if (error != std::errc{} || used == 0 || !separator_ok) {
            throw UsageError(fmt::format(
                "--clock \"{}\": give the reader's date and time as YYYY-MM-DD HH:MM:SS", text));
        }
        rest.remove_prefix(last ? used : used + 1);
    }
    return when;
}

}  // namespace

void add_simulate_options(CLI::App& command, SimulateOptions& options) {
    command.add_option("-w,--password", options.password, "The password the reader accepts")
        ->option_text("TEXT")
        ->default_str("empty");
    command
        .add_option("--id", options.machine_id,
                    "The machine ID, up to 8 characters of the --encoding")
        ->option_text("ID")
        ->default_str(options.machine_id);
    command
        .add_option("-n,--records", options.sample_records,
                    "How many sample records the reader holds")
        ->option_text("N")
        ->default_str("5, or 0 with --record")
        ->check(CLI::Range(std::size_t{0}, sim::kMaxRecords));
    command
        .add_option("-r,--record", options.record_texts,
                    "A record with this text (repeatable; stored after the samples)")
        ->option_text("TEXT");
    command
        .add_option("--fault", options.faults,
                    "Misbehave: silent, refuse, garble, bursts, pause, drop, short, merge, split, "
                    "mute, borrow or flip, optionally with the command letters it hits "
                    "(\"refuse:T\", \"short:PR\") and @N to hit only the N-th such request "
                    "(\"garble:D@1\"); repeatable")
        ->option_text("KIND[:LETTERS][@N]");
    command
        .add_option("--encoding", options.encoding,
                    "The code page the ID and the record texts are stored in, as kdr download "
                    "--encoding reads them: cp1252, latin1 or utf8 (as given)")
        ->option_text("NAME")
        ->default_str(options.encoding);
    command.add_flag("--fast", options.fast,
                     "Send replies at once rather than at the reader's 19200 baud");
    command
        .add_option("--clock", options.clock,
                    "The reader's clock at start, \"YYYY-MM-DD HH:MM:SS\"")
        ->option_text("TIME")
        ->default_str("now");
    command
        .add_option("--path-file", options.path_file,
                    "Also write the device path to FILE, which appears whole once the reader "
                    "is ready, and anew after each line drop")
        ->option_text("FILE");
    command.footer(R"(Faults hit every command unless letters are given, except: bursts, pause,
drop, merge, split and flip hit the download (D), short and borrow the clock
read-back (R), mute the erase (E). With @N a fault hits only the N-th request
of its letters: "garble:D@1" damages the first download only.
  silent  no answer at all          refuse  the refusal frame, nothing done
  garble  damaged characters        bursts  answer in bursts, pauses < 0.3 s
  pause   a 0.6 s pause halfway     drop    the line drops halfway (new device)
  short   reply cut short (1 character of a frame, 9 of the clock, 13 of a
          download)
  merge   two records run together  split   one record cut in two after a "?"
  mute    carries out the request and sends nothing
  borrow  the clock read back as the next minute, its second 60 less: a host
          reads 16:29:-16 for 16:28:44, 16:29:201 for 16:28:05 (the
          character wraps below -16)
  flip    one bit of the download flipped, at another place each time

Examples:
  kdr simulate
  kdr simulate --password 1234 --records 200 --fast
  kdr simulate --record "4006381333931" --record "QTY?3"
  kdr simulate --id KéR --record Größe    stored in Windows-1252
  kdr simulate --fault pause              test a host against a stalling line
  kdr simulate --path-file sim.path &     in a script: wait for sim.path)");
}

int command_simulate(const SimulateOptions& options, Console& console) {
    const writers::TextEncoder encode = writers::text_encoder(options.encoding);
    // The reader holds its characters in the code page the host decodes, so
    // that a download shows them as they were given.
    const auto encoded = [&](std::string_view option, const std::string& text) {
        try {
            return encode(text);
        } catch (const Error& error) {
            throw UsageError(fmt::format("{} \"{}\": {} (--encoding {})", option, text,
                                         error.what(), options.encoding));
        }
    };
    sim::ReaderConfig config;
    config.password = options.password;
    config.machine_id = encoded("--id", options.machine_id);
    if (config.machine_id.size() > sim::kMachineIdLength) {
        throw UsageError(fmt::format(
            "--id \"{}\": {} bytes in {}; a reader's machine ID holds at most {}",
            options.machine_id, config.machine_id.size(), options.encoding, sim::kMachineIdLength));
    }
    const std::size_t samples =
        options.sample_records.value_or(options.record_texts.empty() ? 5 : 0);
    // Refused before any record is made: the count alone tells.
    if (samples + options.record_texts.size() > sim::kMaxRecords) {
        throw UsageError(fmt::format("{} records: a reader holds at most {}",
                                     samples + options.record_texts.size(), sim::kMaxRecords));
    }
    config.clock = options.clock ? parse_clock(*options.clock) : local_now();
    config.pacing = options.fast ? sim::Pacing::Fast : sim::Pacing::LineRate;
    try {
        for (const std::string& fault : options.faults) {
            config.faults.push_back(sim::parse_fault(fault));
        }
        const std::int64_t given = static_cast<std::int64_t>(options.record_texts.size());
        config.records =
            sim::sample_records(samples, sim::add_seconds(config.clock, -(given + 30) * 60));
        for (std::int64_t i = 0; i < given; ++i) {
            const std::string& text = options.record_texts[static_cast<std::size_t>(i)];
            config.records.push_back(sim::Record{sim::add_seconds(config.clock, (i - given) * 60),
                                                 encoded("--record", text), 'A'});
        }
        sim::validate(config);
    } catch (const Error& error) {
        throw UsageError(error.what());
    }

    // A path file that cannot be written is found before the reader starts.
    std::optional<ResultFile> path_file;
    if (options.path_file) {
        path_file.emplace(*options.path_file, "--path-file");
    }
    std::ostream& err = console.err;
    sim::PtyServer server(
        config,
        [&err](std::string_view line) {
            err << fmt::format("[{}] {}\n", time_of_day(), line) << std::flush;
        },
        [&path_file](const std::string& device) {
            // The old device is gone: a script that reads the file now gets
            // the one the reader answers on.
            if (path_file) {
                path_file->commit(device + "\n");
            }
        });
    console.out << server.device_path() << '\n' << std::flush;
    if (!console.out) {
        // No one learns the device: serving would only wait for ever. The
        // sentence saying why is the command's (results not written).
        return kExitFailure;
    }
    if (path_file) {
        // Scripts wait for the file: it appears whole, once the reader answers.
        path_file->commit(server.device_path() + "\n");
    }
    std::string faults;
    for (const sim::Fault& fault : config.faults) {
        faults += faults.empty() ? "" : ", ";
        faults += sim::to_string(fault);
    }
    err << fmt::format(
               "kdr: KDR reader simulator on {}: password \"{}\", machine ID {}, {} record(s), "
               "{}{}. "
               "Connect with --port {}; stop with Ctrl-C.\n",
               server.device_path(), options.password, config.machine_id, config.records.size(),
               options.fast ? "replies at once" : "replies at 19200 baud",
               faults.empty() ? "" : ", faults: " + faults, server.device_path())
        << std::flush;
    {
        const StopSignals signals(server);
        server.run();
    }
    err << "kdr: simulator stopped\n" << std::flush;
    return kExitSuccess;
}

}  // namespace kdr::cli
