// The command's parts that need no reader: usage and exit codes, --port, the
// byte trace, the progress line and the list of serial devices.
#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/app.hpp"
#include "cli/result_file.hpp"
#include "cli/serial_ports.hpp"
#include "cli/session.hpp"
#include "cli/trace_port.hpp"
#include "fake_byte_port.hpp"
#include "kdr/port_factory.hpp"
#include "kdr/posix_platform.hpp"
#include "virtual_clock.hpp"

namespace kdr::cli {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct CliRun {
    int code;
    std::string out;
    std::string err;
};

// A pseudo-terminal: its device path, and the master side that keeps it.
struct Pty {
    int master = -1;
    std::string device;
    Pty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0) {
            device = ::ptsname(master);
        }
    }
    ~Pty() {
        if (master >= 0) {
            ::close(master);
        }
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
};

CliRun run_cli(std::vector<std::string> args, bool in_terminal = false) {
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    Console console{in, out, err, in_terminal, false};
    const int code = run(args, console);
    return {code, out.str(), err.str()};
}

TEST(CliUsage, BadUsageExitsWithTwoAndSaysWhy) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases{
        {{}, "A subcommand is required"},
        {{"fetch"}, "unknown command \"fetch\""},
        {{"open", "--bogus"}, "--bogus"},
        {{"open", "--port", "ttyUSB0"}, "give the reader's serial device"},
        {{"open", "--port", "0"}, "port numbers run from 1"},
        {{"open", "--port", "40000"}, "port numbers run from 1"},
        {{"download", "--format", "xml"}, "xml"},
        {{"download", "--raw", "--format", "json"}, "excludes"},
        {{"erase", "--port", "/dev/null"}, "give --yes"},
        // Found before any port is opened: the port named does not exist.
        {{"open", "--port", "/dev/kdr-none", "--password", std::string("a\x02")}, "0x02"},
        {{"open", "--port", "/dev/kdr-none", "--password", "12\r"}, "0x0d"},
        {{"download", "--port", "/dev/kdr-none", "-o", "/kdr-no-such-folder/x.txt"},
         "does not exist"},
        {{"download", "--port", "/dev/kdr-none", "-o", "/tmp"}, "that is a folder"},
        {{"simulate", "--fault", "loud"}, "unknown fault \"loud\""},
        {{"downlaod"}, "unknown command \"downlaod\"; did you mean download?"},
        {{"download"}, "no port given"},
        {{"download", "--port", "/dev/kdr-none", "--encoding", "ebcdic"}, "--encoding ebcdic"},
        {{"ports", "--format", "xml"}, "xml"},
        {{"simulate", "--fault", "refuse:Q"}, "no command letter"},
        {{"simulate", "--id", "TOO-LONG-ID"}, "holds at most 8"},
        {{"simulate", "--clock", "yesterday"}, "YYYY-MM-DD HH:MM:SS"},
        {{"simulate", "--clock", "2024-02-30 10:00:00"}, "reader clock"},
        {{"demo", "--records", "-1"}, "records"},
        {{"collect", "--port", "/dev/kdr-none", "--db", ""}, "--db is empty"},
        {{"collect", "--port", "/dev/kdr-none", "--db", "/kdr-no-such-folder/x.sqlite"},
         "the folder /kdr-no-such-folder does not exist"},
        {{"history"}, "no store given"},
        {{"simulate", "--path-file", "/kdr-no-such-folder/sim.path"},
         "--path-file /kdr-no-such-folder/sim.path: the folder"},
        {{"open", "-p", "/dev/a", "-p", "/dev/b"}, "--port was given twice"},
        {{"history", "--db", "mysql://x/y"}, "give a SQLite file"},
        {{"export", "--db", "sqlite://records"}, "or a PostgreSQL database as postgresql://"},
        {{"serve", "--db", "/tmp/kdr.sqlite", "--listen", "0.0.0.0:8017"}, "give --token-file"},
        {{"serve", "--db", "/tmp/kdr.sqlite", "--listen", "[::]:80"}, "give --token-file"},
        {{"serve", "--db", "/tmp/kdr.sqlite", "--listen", "host:99999"}, "give HOST:PORT"},
        {{"serve", "--db", "/tmp/kdr.sqlite", "--token-file", "/kdr-none"}, "cannot be read"},
        {{"serve", "--db", "/tmp/kdr.sqlite", "--token-file", "/dev/null"}, "at least 16"},
    };
    ::unsetenv("KDR_PORT");
    ::unsetenv("KDR_DB");
    for (const Case& c : cases) {
        const CliRun result = run_cli(c.args);
        EXPECT_EQ(result.code, kExitUsage) << ::testing::PrintToString(c.args);
        EXPECT_EQ(result.err.rfind("kdr: ", 0), 0U) << result.err;
        // One sentence, then one hint line.
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 2) << result.err;
        EXPECT_NE(result.err.find("\nRun \"kdr "), std::string::npos) << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos)
            << ::testing::PrintToString(c.args) << "\n"
            << result.err;
        EXPECT_TRUE(result.out.empty()) << result.out;
    }
}

TEST(CliUsage, EveryCommandHasHelpWithExamples) {
    for (const char* command :
         {"open", "download", "sync-time", "erase", "ports", "simulate", "demo", "serve"}) {
        const CliRun result = run_cli({command, "--help"});
        EXPECT_EQ(result.code, kExitSuccess) << command;
        EXPECT_NE(result.out.find("Examples:"), std::string::npos) << command;
        EXPECT_NE(result.out.find(std::string("kdr ") + command), std::string::npos) << command;
    }
    // Help fits 80 columns and names arguments without the parser's notes.
    for (const char* command : {"download", "simulate", "erase", "ports", "demo", "serve"}) {
        const CliRun help = run_cli({command, "--help"});
        std::istringstream lines(help.out);
        for (std::string line; std::getline(lines, line);) {
            EXPECT_LE(line.size(), 80U) << command << ": " << line;
        }
        for (const char* clutter : {"TEXT:{", "Excludes", "Env:", "=text", "INT"}) {
            EXPECT_EQ(help.out.find(clutter), std::string::npos) << command << ": " << clutter;
        }
    }
    EXPECT_NE(run_cli({"download", "--help"}).out.find("-p,--port DEVICE"), std::string::npos);
    const CliRun top = run_cli({"--help"});
    EXPECT_EQ(top.code, kExitSuccess);
    EXPECT_NE(top.out.find("Exit codes: 0 success, 1 the operation failed, 2 bad usage"),
              std::string::npos);
    EXPECT_NE(top.out.find("Results go to standard output"), std::string::npos);
    EXPECT_EQ(run_cli({"--version"}).out, "kdr 1.01\n");
    EXPECT_EQ(run_cli({"-v"}).out, "kdr 1.01\n");
}

// A port word that can name no port is bad usage in every reader command,
// found before a store is made or a port opened.
TEST(CliUsage, AMalformedPortWordIsBadUsageInEveryReaderCommand) {
    const fs::path store =
        fs::temp_directory_path() / fmt::format("kdr-words-{}.sqlite", ::getpid());
    const std::vector<std::vector<std::string>> commands{
        {"open"},
        {"download"},
        {"sync-time"},
        {"erase", "--yes"},
        {"collect", "--db", store.string()},
        {"collect", "--watch", "--db", store.string()},
    };
    const struct {
        std::string word;
        std::string why;
    } words[] = {
        {"tcp://127.0.0.1", "give the device server as tcp://HOST:PORT"},
        {"tcp://h:99999", "give the device server as tcp://HOST:PORT"},
        {"rfc2217://:4001", "give the device server as rfc2217://HOST:PORT"},
        {"udp://x", "\"udp://\" is no kind of port"},
    };
    ::unsetenv("KDR_PORT");
    for (const std::vector<std::string>& command : commands) {
        for (const auto& w : words) {
            std::vector<std::string> args = command;
            args.insert(args.end(), {"--port", w.word});
            const CliRun result = run_cli(args);
            EXPECT_EQ(result.code, kExitUsage) << ::testing::PrintToString(args) << result.err;
            EXPECT_EQ(result.err.rfind("kdr: " + w.word + ": ", 0), 0U) << result.err;
            EXPECT_NE(result.err.find(w.why), std::string::npos) << result.err;
            EXPECT_FALSE(fs::exists(store)) << ::testing::PrintToString(args);
        }
    }
    // The same word from the environment says where it came from.
    ::setenv("KDR_PORT", "udp://x", 1);
    const CliRun from_environment = run_cli({"open"});
    ::unsetenv("KDR_PORT");
    EXPECT_EQ(from_environment.code, kExitUsage);
    EXPECT_NE(from_environment.err.find("(the port came from KDR_PORT)"), std::string::npos)
        << from_environment.err;
}

// Every option with a value names it and its default in the help.
TEST(CliUsage, HelpNamesValuesAndDefaults) {
    const struct {
        const char* command;
        const char* text;
    } cases[] = {
        {"download", "-p,--port DEVICE"},  {"download", "(default: $KDR_PORT)"},
        {"download", "(default: text)"},   {"download", "(default: cp1252)"},
        {"collect", "--db TARGET"},        {"collect", "(default: $KDR_DB)"},
        {"collect", "-f,--format FORMAT"}, {"export", "--since DATE"},
        {"export", "(default: csv)"},      {"history", "(default: $KDR_DB)"},
        {"history", "text or json"},       {"simulate", "(default: KDR00001)"},
    };
    // The port words of every reader command.
    for (const char* command : {"open", "download", "sync-time", "erase", "collect"}) {
        for (const char* word : {"tcp://HOST:PORT", "rfc2217://HOST:PORT"}) {
            EXPECT_NE(run_cli({command, "--help"}).out.find(word), std::string::npos)
                << command << ": " << word;
        }
    }
    for (const auto& c : cases) {
        // Descriptions wrap: compare with runs of spaces made one.
        std::string help;
        for (const char ch : run_cli({c.command, "--help"}).out) {
            const char one = ch == '\n' ? ' ' : ch;
            if (!(one == ' ' && !help.empty() && help.back() == ' ')) {
                help += one;
            }
        }
        EXPECT_NE(help.find(c.text), std::string::npos) << c.command << ": " << c.text;
    }
}

TEST(CliUsage, APortFromTheEnvironmentIsNamedInItsErrors) {
    const struct {
        const char* port;
        int code;
    } cases[] = {{"/dev/kdr-no-such-device", kExitFailure}, {"COM0", kExitUsage}};
    for (const auto& c : cases) {
        ::setenv("KDR_PORT", c.port, 1);
        const CliRun result = run_cli({"open"});
        ::unsetenv("KDR_PORT");
        EXPECT_EQ(result.code, c.code) << result.err;
        EXPECT_NE(result.err.find("(the port came from KDR_PORT)"), std::string::npos)
            << result.err;
    }
}

// Results that cannot be written fail the command, help included.
TEST(CliUsage, AFailedWriteToStandardOutputFails) {
    struct Full final : std::streambuf {
        int_type overflow(int_type) override { return traits_type::eof(); }
    } full;
    std::istringstream in;
    std::ostream out(&full);
    std::ostringstream err;
    Console console{in, out, err, false, false, [] { return ENOSPC; }};
    EXPECT_EQ(run({"--help"}, console), kExitFailure);
    EXPECT_EQ(err.str(), "kdr: cannot write to standard output: No space left on device\n");
}

// Station lines under systemd leave their time to the journal, which is told
// by the stream systemd names, not by any stream that is no terminal.
TEST(CliUsage, TheJournalIsKnownByTheStreamSystemdNames) {
    const fs::path file = fs::temp_directory_path() / fmt::format("kdr-journal-{}", ::getpid());
    std::ofstream(file) << "";
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct stat status {};
    ASSERT_EQ(::fstat(fd, &status), 0);
    const std::string same = fmt::format("{}:{}", status.st_dev, status.st_ino);
    const std::string other = fmt::format("{}:{}", status.st_dev, status.st_ino + 1);
    const struct {
        const char* value;
        bool journal;
    } cases[] = {{same.c_str(), true}, {other.c_str(), false}, {"", false}, {nullptr, false}};
    for (const auto& c : cases) {
        if (c.value == nullptr) {
            ::unsetenv("JOURNAL_STREAM");
        } else {
            ::setenv("JOURNAL_STREAM", c.value, 1);
        }
        EXPECT_EQ(is_journal_stream(fd), c.journal) << (c.value == nullptr ? "unset" : c.value);
    }
    ::unsetenv("JOURNAL_STREAM");
    ::close(fd);
    fs::remove(file);
}

TEST(CliUsage, APasswordLongerThanAReadersIsSentWithAWarning) {
    const CliRun result = run_cli({"open", "--port", "/dev/kdr-none", "--password", "123456789"});
    EXPECT_EQ(result.code, kExitFailure);  // the port, not the password, stops it
    EXPECT_EQ(result.err.rfind("kdr: warning: the password has 9 characters", 0), 0U) << result.err;
    EXPECT_EQ(run_cli({"open", "--port", "/dev/kdr-none", "--password", "123456789", "--quiet"})
                  .err.find("warning"),
              std::string::npos);
}

TEST(CliUsage, PortProblemsAreOneSentenceThatSaysWhatToDo) {
    // A pseudo-terminal held by another opener plays the busy port.
    const Pty pty;
    ASSERT_FALSE(pty.device.empty());
    const std::string& busy = pty.device;
    const std::unique_ptr<BytePort> holder = make_byte_port(busy);
    holder->open(LineSettings{});
    const struct {
        std::string port;
        const char* what;
    } cases[] = {
        {"/dev/kdr-no-such-device", "does not exist: check"},
        {"/dev/null", "is not a serial device: give the device"},
        {"/dev/urandom", "is not a serial device: give the device"},
        {"/tmp", "is a folder, not a serial device"},
        {busy, "is in use by another program: close that program"},
    };
    for (const auto& c : cases) {
        const CliRun result = run_cli({"open", "--port", c.port});
        EXPECT_EQ(result.code, kExitFailure) << c.port;
        EXPECT_EQ(result.err.rfind("kdr: " + c.port + " ", 0), 0U) << result.err;
        EXPECT_NE(result.err.find(c.what), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
}

TEST(CliUsage, ErasingReadsTheReaderBeforeAskingAnything) {
    // A pseudo-terminal that nobody answers on, a missing device, no serial
    // port: the reader cannot be read, so nothing is asked and nothing sent.
    const Pty pty;
    ASSERT_FALSE(pty.device.empty());
    for (const std::string& port :
         {pty.device, std::string("/dev/kdr-no-such-device"), std::string("/dev/null")}) {
        std::istringstream in("y\n");
        std::ostringstream out;
        std::ostringstream err;
        Console console{in, out, err, true, false};
        EXPECT_EQ(run({"erase", "--port", port}, console), kExitFailure) << port;
        EXPECT_EQ(err.str().find("[y/N]"), std::string::npos) << "asked before reading";
        EXPECT_EQ(err.str().rfind("kdr: ", 0), 0U) << err.str();
    }
}

TEST(PortOption, WordsNameTheirPortAndBadOnesAreUsageErrors) {
    const struct {
        const char* word;
        const char* name;
    } good[] = {
        {"1", "/dev/ttyS0"},
        {"32767", "/dev/ttyS32766"},
        {"COM3", "/dev/ttyS2"},
        {"com3", "/dev/ttyS2"},
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"./ttyKDR", "./ttyKDR"},
        {"tcp://h:7001", "tcp://h:7001"},
    };
    for (const auto& c : good) {
        EXPECT_EQ(port_for_word(c.word)->name(), c.name) << c.word;
    }
    for (const char* bad : {"", "0", "-1", "32768", "99999999999", "1x", "COM0", " 1", "udp://x",
                            "tcp://h:99999", "tcp://127.0.0.1"}) {
        EXPECT_THROW(static_cast<void>(port_for_word(bad)), UsageError) << bad;
    }
}

TEST(LatencyOption, MillisecondsOrSeconds) {
    const struct {
        const char* text;
        long long millis;
    } good[] = {{"300", 300}, {"300ms", 300}, {"0.3s", 300}, {"0", 0}, {"60s", 60000}};
    for (const auto& c : good) {
        EXPECT_EQ(parse_latency(c.text).count(), c.millis) << c.text;
    }
    for (const char* bad : {"", "-1", "fast", "3 s", "61s", "1h", "nan"}) {
        EXPECT_THROW(static_cast<void>(parse_latency(bad)), UsageError) << bad;
    }
}

TEST(ByteTrace, HexAndTextSixteenBytesALine) {
    const std::vector<std::string> lines = hex_dump(std::string("\x02P   \x7f\x80\r}\x03", 10), 4);
    ASSERT_EQ(lines.size(), 3U);
    EXPECT_EQ(lines[0], "02 50 20 20 |.P  |");
    EXPECT_EQ(lines[1], "20 7f 80 0d | ...|");
    EXPECT_EQ(lines[2], "7d 03       |}.|");
    EXPECT_TRUE(hex_dump("").empty());
    EXPECT_EQ(hex_dump(std::string(17, 'a')).size(), 2U);
}

TEST(ByteTrace, EveryByteBothWaysWithTimestampsAndEveryOpenAndClose) {
    kdr::testing::VirtualClock clock;
    auto fake = std::make_unique<kdr::testing::FakeBytePort>(clock);
    kdr::testing::FakeBytePort& inner = *fake;
    std::ostringstream out;
    {
        TracingPort port(std::move(fake), out, clock);
        inner.set_responder([](kdr::testing::FakeBytePort& serial, std::string_view) {
            serial.arrive("\x02\x06\r3\x03", 20ms);
        });
        port.open(parse_line_settings("19200,n,8,1"));
        port.discard_input();
        clock.advance(1500us);
        port.write("\x02PAB\r!\x03");
        std::string received;
        EXPECT_EQ(port.read(received, Clock::Instant::min()), 0U);  // empty reads are not traced
        EXPECT_EQ(port.read(received, clock.now() + 1s), 5U);
        EXPECT_EQ(received, "\x02\x06\r3\x03");
        port.close();
        port.close();  // closing a closed port is no event
        inner.fail_opens(Error(ErrorKind::PortBusy, "COM3 is in use"));
        EXPECT_THROW(port.open(LineSettings{}), Error);
        inner.fail_opens(std::nullopt);
        port.open(LineSettings{});  // left open: the trace shows it closing
    }

    const auto row = [](std::string_view hex, std::string_view text) {
        return fmt::format("{:<48}|{}|", hex, text);
    };
    EXPECT_EQ(out.str(),
              "[  0.000000] open port 1 19200,n,8,1\n"
              "[  0.000000] discard received characters\n"
              "[  0.001500] > " +
                  row("02 50 41 42 0d 21 03", ".PAB.!.") + "\n" + "[  0.021500] < " +
                  row("02 06 0d 33 03", "...3.") + "\n" +
                  "[  0.021500] close port 1\n"
                  "[  0.021500] open port 1 failed: COM3 is in use\n"
                  "[  0.021500] open port 1 19200,n,8,1\n"
                  "[  0.021500] close port 1\n");
}

TEST(ProgressTest, SaysRecordsCharactersRateAndTimeLeft) {
    using namespace std::chrono_literals;
    const struct {
        DownloadProgress progress;
        std::chrono::duration<double> elapsed;
        const char* line;
    } cases[] = {
        {{14, 0, 740}, 0.1s, "download: 0 of 740 record(s), 14 characters"},
        {{9, 0, std::nullopt}, 1s, "download: 0 record(s), 9 characters, 9 characters/s"},
        // 100 of 740 records in 2,600 characters at 1,920 a second: 640 more
        // records of 26 characters take 8.7 s.
        {{2600, 100, 740},
         2600.0s / 1920,
         "download: 100 of 740 record(s), 2600 characters, "
         "1920 characters/s, 0:09 left"},
        {{19154, 740, 740},
         10s,
         "download: 740 of 740 record(s), 19154 characters, 1915 "
         "characters/s"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DownloadProgressLine::render(c.progress, c.elapsed), c.line);
    }
}

TEST(ProgressTest, NeverWiderThanTheTerminal) {
    const DownloadProgress progress{2600, 100, 740};
    const struct {
        std::size_t width;
        const char* line;
    } cases[] = {
        {0, "download: 100 of 740 record(s), 2600 characters, 1920 characters/s, 0:09 left"},
        {49, "download: 100 of 740 record(s), 2600 characters"},
        {20, "download: 100 of 740 record(s)"},  // the first part always; the line cuts it
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DownloadProgressLine::render(progress, 2600.0s / 1920, c.width), c.line);
    }
    std::ostringstream terminal;
    StatusLine status(terminal, true, 21);
    status.show(cases[2].line);
    EXPECT_EQ(terminal.str(), "\r\x1b[Kdownload: 100 of 740");  // 20 of 21 columns
}

TEST(ProgressTest, AnInterruptClearsTheLineAndEndsTheProgram) {
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(pipe_ends[1], STDERR_FILENO);
        std::ostringstream terminal;
        StatusLine status(terminal, true, 80);
        status.show("download: 1 record(s)");
        ::raise(SIGINT);
        ::_exit(0);
    }
    ::close(pipe_ends[1]);
    std::string cleared;
    char buffer[64];
    for (ssize_t n = 0; (n = ::read(pipe_ends[0], buffer, sizeof buffer)) > 0;) {
        cleared.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipe_ends[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_EQ(cleared, "\r\x1b[K");
}

TEST(ProgressTest, OtherOutputClearsTheStatusLineFirst) {
    std::ostringstream terminal;
    {
        StatusLine status(terminal, true);
        StatusAwareBuffer buffer(*terminal.rdbuf(), status);
        std::ostream messages(&buffer);
        status.show("download: 1 record(s)");
        messages << "[  0.1] < 02\n";
        messages << "second line\n";  // nothing drawn to clear
        status.show("download: 2 record(s)");
    }
    EXPECT_EQ(terminal.str(),
              "\r\x1b[Kdownload: 1 record(s)\r\x1b[K[  0.1] < 02\nsecond line\n"
              "\r\x1b[Kdownload: 2 record(s)\r\x1b[K");
    std::ostringstream pipe;
    StatusLine off(pipe, false);
    off.show("download");
    off.clear();
    EXPECT_TRUE(pipe.str().empty());
}

// ---- Results ----------------------------------------------------------------

TEST(ResultFileTest, ReplacesFilesWritesIntoEverythingElse) {
    const fs::path dir = fs::temp_directory_path() / fmt::format("kdr-result-{}", ::getpid());
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::ofstream(dir / "old.txt") << "old\n";
    fs::create_symlink("old.txt", dir / "link.txt");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    const struct {
        std::string path;
        ResultFile::Kind kind;
    } cases[] = {
        {"-", ResultFile::Kind::Stdout},
        {"/dev/null", ResultFile::Kind::Direct},
        {"/dev/stdout", ResultFile::Kind::Direct},
        {(dir / "fifo").string(), ResultFile::Kind::Direct},
        {(dir / "new.txt").string(), ResultFile::Kind::Replaced},
        {(dir / "link.txt").string(), ResultFile::Kind::Replaced},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ResultFile(c.path).kind(), c.kind) << c.path;
    }
    // Through the link: its target is replaced, the link stays.
    ResultFile(cases[5].path).commit("new\n");
    EXPECT_TRUE(fs::is_symlink(dir / "link.txt"));
    std::ifstream target(dir / "old.txt");
    std::string line;
    std::getline(target, line);
    EXPECT_EQ(line, "new");
    ResultFile("/dev/null").commit("into the device");
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    EXPECT_THROW(ResultFile("/dev/full").commit("x"), Error);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 3);
    fs::remove_all(dir);
}

// ---- Serial devices ---------------------------------------------------------

class SerialDevices : public ::testing::Test {
  protected:
    SerialDevices() {
        root_ = fs::temp_directory_path() / ("kdr-sysfs-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        const fs::path sys = root_ / "sys";
        const fs::path usb = sys / "devices/pci0/usb1/1-2";
        write(usb / "idVendor", "0403\n");
        write(usb / "idProduct", "6001\n");
        write(usb / "manufacturer", "FTDI\n");
        write(usb / "product", "FT232R USB UART\n");
        write(usb / "serial", "A10K5ZKX\n");
        terminal("ttyUSB0", usb / "1-2:1.0/ttyUSB0", sys / "bus/usb-serial/drivers/ftdi_sio");
        terminal("ttyS0", sys / "devices/pnp0/00:01", sys / "bus/pnp/drivers/serial");
        write(sys / "class/tty/ttyS0/type", "4\n");
        terminal("ttyS10", sys / "devices/platform/serial8250", sys / "drivers/serial8250");
        write(sys / "class/tty/ttyS10/type", "0\n");
        terminal("ttyS2", sys / "devices/platform/serial8250b", sys / "drivers/serial8250");
        write(sys / "class/tty/ttyS2/type", "0\n");
        fs::create_directories(sys / "class/tty/tty0");  // a virtual terminal: no device
        fs::create_directories(root_ / "dev/serial/by-id");
        fs::create_symlink("../../ttyUSB0",
                           root_ / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K5ZKX-if00-port0");
    }
    ~SerialDevices() override { fs::remove_all(root_); }

    static void write(const fs::path& file, std::string_view text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    // sysfs: class/tty/NAME/device links to the device, whose driver links to
    // the driver.
    void terminal(const std::string& name, const fs::path& device, const fs::path& driver) {
        fs::create_directories(device);
        fs::create_directories(driver);
        const fs::path entry = root_ / "sys/class/tty" / name;
        fs::create_directories(entry);
        fs::create_symlink(device, entry / "device");
        fs::create_symlink(driver, device / "driver");
    }

    fs::path root_;
};

TEST_F(SerialDevices, ListsWhatTheSystemKnows) {
    const std::vector<SerialDevice> devices = list_serial_devices(root_ / "sys", root_ / "dev");
    ASSERT_EQ(devices.size(), 4U);
    EXPECT_EQ(devices[0].name, "ttyS0");
    EXPECT_EQ(devices[1].name, "ttyS2");
    EXPECT_EQ(devices[2].name, "ttyS10");
    EXPECT_EQ(devices[3].name, "ttyUSB0");

    EXPECT_EQ(devices[0].port_number, 1);
    EXPECT_TRUE(devices[0].hardware);
    EXPECT_EQ(devices[0].driver, "serial");
    EXPECT_EQ(devices[0].description, "built-in serial port");
    EXPECT_EQ(devices[2].port_number, 11);
    EXPECT_FALSE(devices[2].hardware);

    const SerialDevice& usb = devices[3];
    EXPECT_EQ(usb.device, (root_ / "dev/ttyUSB0").string());
    EXPECT_FALSE(usb.port_number);
    EXPECT_EQ(usb.driver, "ftdi_sio");
    EXPECT_EQ(usb.description, "FTDI FT232R USB UART (USB 0403:6001), serial number A10K5ZKX");
    ASSERT_EQ(usb.links.size(), 1U);
    EXPECT_NE(usb.links[0].find("by-id/usb-FTDI_FT232R"), std::string::npos);

    const std::string table = format_device_table(devices, false);
    EXPECT_NE(table.find("ttyUSB0"), std::string::npos);
    EXPECT_EQ(table.find("ttyS10"), std::string::npos) << table;
    EXPECT_EQ(table.find("without hardware"), std::string::npos) << table;
    EXPECT_NE(
        device_table_hints(devices, false).find("2 built-in port(s) without hardware not shown"),
        std::string::npos);
    EXPECT_EQ(device_table_hints(devices, true).find("not shown"), std::string::npos);
    EXPECT_NE(format_device_table(devices, true).find("ttyS10"), std::string::npos);
}

TEST_F(SerialDevices, NothingToListIsSaid) {
    EXPECT_TRUE(list_serial_devices(root_ / "nothing", root_ / "dev").empty());
    EXPECT_EQ(format_device_table({}, false), "No serial devices found.\n");
}

}  // namespace
}  // namespace kdr::cli
