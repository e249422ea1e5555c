// The controller on real serial I/O when things go wrong: the simulated reader
// on a pseudo-terminal stops answering, refuses, cuts its replies short or
// drops the line at each step of each operation; the port is missing or held
// by another process; garbage comes before or after a reply. Each case must
// end with its specified result and a clear reason within its time, leave no
// descriptor behind, and the next call must work.
//
// The controller reaches the reader through a symbolic link, as a host reaches
// an adapter through /dev/serial/by-id: when the reader's line drops, the
// simulator makes a new terminal and the link is pointed at it, as if the
// adapter were plugged in again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kdr/controller.hpp"
#include "kdr/memory_progress_bar.hpp"
#include "kdr/port_factory.hpp"
#include "kdr/posix_platform.hpp"
#include "kdr/protocol.hpp"
#include "kdr/simulator.hpp"
#include "protocol/record_decoding.hpp"

namespace kdr {
namespace {

namespace fs = std::filesystem;
namespace sim = kdr::simulator;
using namespace std::chrono_literals;
using Seconds = std::chrono::duration<double>;
using std::chrono::steady_clock;

// Room for scheduling on a loaded machine above each specified wait.
constexpr Seconds kSlack = 400ms;
// The connection check's five reads 50 ms apart.
constexpr Seconds kExchange = 250ms;

int open_descriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

struct Shown {
    std::string text;
    std::optional<std::string> title;
};

// The host: records its messages; time is the system's.
class TestHost : public HostServices {
  public:
    void MsgBox(std::string_view text, int, std::optional<std::string_view> title) override {
        messages.push_back(
            {std::string(text), title ? std::optional<std::string>(*title) : std::nullopt});
    }
    void DoEvents() override {}
    LocalDateTime Now() override { return console_.Now(); }

    std::vector<Shown> messages;

  private:
    std::ostringstream discard_;
    ConsoleHost console_{discard_};
};

// A temporary directory holding the link the controller opens as port 1.
class PortLink {
  public:
    PortLink() {
        std::string dir = (fs::temp_directory_path() / "kdr-fault-XXXXXX").string();
        if (::mkdtemp(dir.data()) == nullptr) {
            throw std::runtime_error("cannot make a temporary directory");
        }
        dir_ = dir;
    }
    ~PortLink() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;

    [[nodiscard]] std::string path() const { return (dir_ / "reader").string(); }
    void point_at(const std::string& device) {
        fs::remove(path());
        fs::create_symlink(device, path());
    }

  private:
    fs::path dir_;
};

// Another process that opens the device and locks it, as a terminal program
// or a second host does, until the object goes.
class PortHolder {
  public:
    explicit PortHolder(const std::string& path) {
        std::array<int, 2> ready{};
        std::array<int, 2> released{};
        if (::pipe2(ready.data(), O_CLOEXEC) != 0 || ::pipe2(released.data(), O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls: the parent has threads. The
            // child keeps no write end of the release pipe, so that the
            // parent closing its own ends the wait.
            ::close(released[1]);
            ::close(ready[0]);
            const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            const bool held = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
            const char status = held ? 'y' : 'n';
            (void)::write(ready[1], &status, 1);
            char ignored = 0;
            (void)::read(released[0], &ignored, 1);
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(released[0]);
        release_ = released[1];
        char status = 0;
        const bool held = ::read(ready[0], &status, 1) == 1 && status == 'y';
        ::close(ready[0]);
        if (!held) {
            release();
            throw std::runtime_error("the other process could not take the port");
        }
    }
    ~PortHolder() { release(); }
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;

  private:
    void release() {
        if (release_ >= 0) {
            ::close(release_);
            release_ = -1;
        }
        if (pid_ > 0) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }
    pid_t pid_ = -1;
    int release_ = -1;
};

// A reader on a pseudo-terminal that answers each frame as the test scripts
// it, garbage included. It keeps the device side open itself, so that the
// controller may close and reopen the port.
class ScriptedReader {
  public:
    /// What to send for a frame: pieces, each after its delay.
    using Script =
        std::function<std::vector<std::pair<std::chrono::milliseconds, std::string>>(char letter)>;

    explicit ScriptedReader(Script script) : script_(std::move(script)) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        std::array<char, 128> name{};
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
            ::ptsname_r(master_, name.data(), name.size()) != 0) {
            throw std::runtime_error("cannot make a pseudo-terminal");
        }
        path_ = name.data();
        device_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        if (device_ < 0 || ::tcgetattr(device_, &raw) != 0) {
            throw std::runtime_error("cannot open the pseudo-terminal");
        }
        ::cfmakeraw(&raw);
        ::tcsetattr(device_, TCSANOW, &raw);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedReader() {
        stop_ = true;
        thread_.join();
        ::close(device_);
        ::close(master_);
    }
    ScriptedReader(const ScriptedReader&) = delete;
    ScriptedReader& operator=(const ScriptedReader&) = delete;

    [[nodiscard]] const std::string& path() const { return path_; }
    /// Sends characters unasked, as noise on the line does.
    void send(std::string_view bytes) const {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

  private:
    void serve() {
        std::string frame;
        while (!stop_) {
            pollfd watch{master_, POLLIN, 0};
            if (::poll(&watch, 1, 10) <= 0 || (watch.revents & POLLIN) == 0) {
                continue;
            }
            std::array<char, 512> buffer{};
            const ssize_t n = ::read(master_, buffer.data(), buffer.size());
            for (ssize_t i = 0; i < n; ++i) {
                const char c = buffer[static_cast<std::size_t>(i)];
                if (c == protocol::STX) {
                    frame.clear();
                }
                frame += c;
                if (protocol::ends_frame(frame)) {
                    // The controller sends the empty password: eight spaces.
                    if (const auto request = protocol::parse_request(frame, "        ")) {
                        answer(request->command);
                    }
                    frame.clear();
                }
            }
        }
    }
    void answer(char letter) {
        for (const auto& [delay, bytes] : script_(letter)) {
            std::this_thread::sleep_for(delay);
            (void)::write(master_, bytes.data(), bytes.size());
        }
    }

    Script script_;
    int master_ = -1;
    int device_ = -1;
    std::string path_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

const std::vector<sim::Record>& reader_records() {
    static const std::vector<sim::Record> records = [] {
        auto r = sim::sample_records(6, sim::add_seconds(ConsoleHost().Now(), -7200));
        r.push_back({r.back().stamp, "WHY? BECAUSE?", 'B'});
        return r;
    }();
    return records;
}

// The text a download of the simulated reader's records gives.
std::string full_download() {
    return protocol::decode_download(sim::download_answer("KDR00001", reader_records()),
                                     {true, true, ConsoleHost().Now().year});
}

class PtyFaultTest : public ::testing::Test {
  public:
    PtyFaultTest() {
        controller = std::make_unique<KDRController>(
            [path = link.path()](std::int16_t) { return make_byte_port(path); },
            std::make_unique<MemoryProgressBar>(), host, clock);
        controller->put_ShowMachineID(kVariantTrue);
        controller->put_ShowRTC(kVariantTrue);
    }
    ~PtyFaultTest() override {
        controller.reset();
        server.reset();
    }
    PtyFaultTest(const PtyFaultTest&) = delete;
    PtyFaultTest& operator=(const PtyFaultTest&) = delete;

  protected:
    /// A simulated reader with these faults, and the port pointed at it.
    void serve(const std::vector<std::string>& faults) {
        sim::ReaderConfig config;
        config.machine_id = "KDR00001";
        config.clock = ConsoleHost().Now();
        config.records = reader_records();
        config.pacing = sim::Pacing::Fast;
        for (const auto& fault : faults) {
            config.faults.push_back(sim::parse_fault(fault));
        }
        server.reset();
        server = std::make_unique<sim::PtyServer>(config);
        server->start();
        link.point_at(server->device_path());
    }
    bool open() {
        Variant port(std::int16_t{1});
        return controller->OpenKDR(Variant(), port) == kVariantTrue;
    }
    /// Runs a call and returns how long it took.
    static Seconds timed(const std::function<void()>& call) {
        const auto start = steady_clock::now();
        call();
        return steady_clock::now() - start;
    }
    /// The next call works once the reader is sound again, and nothing was
    /// left open: the descriptors are as many as before the case.
    void expect_recovery(int descriptors_before) {
        serve({});
        if (controller->get_Opened() != kVariantTrue) {
            ASSERT_TRUE(open()) << controller->LastFailure().description;
        }
        EXPECT_EQ(controller->DownloadData(), full_download())
            << controller->LastFailure().description;
        controller->CloseKDR();
        EXPECT_EQ(open_descriptors(), descriptors_before);
    }

    PortLink link;
    SteadyClock clock;
    TestHost host;
    std::unique_ptr<sim::PtyServer> server;
    std::unique_ptr<KDRController> controller;
};

// ---- The simulated reader misbehaves at one step of one operation ---------

enum class Call { Open, Download, Sync, Erase };
enum class Outcome {
    False,        // OpenKDR or SyncUpHostTime returned false
    Throws,       // the call raised kdr::Error of the failure's kind
    Empty,        // DownloadData returned the empty text; EraseData returns empty always
    NoRecords,    // DownloadData reported 0 records
    FirstRecords  // DownloadData returned the records before the cut, not the rest
};
// Titled: a message of the operation's own under its title (an incomplete
// download, a refused erase).
enum class Message { None, Communications, Description, Titled };

struct ReaderFault {
    std::string name;
    std::string fault;  // simulator fault, "kind:LETTERS"
    Call call;
    Outcome outcome;
    ErrorKind failure;
    Message message;
    bool opened_after;
    Seconds within;  // the specified waits the case goes through
};

void PrintTo(const ReaderFault& c, std::ostream* out) {
    *out << c.name;
}

std::optional<std::string> title_of(Call call) {
    switch (call) {
        case Call::Download:
            return std::string(kDownloadTitle);
        case Call::Erase:
            return std::string(kEraseTitle);
        default:
            return std::nullopt;
    }
}

const std::vector<ReaderFault>& reader_faults() {
    using enum Call;
    using enum Outcome;
    using enum Message;
    constexpr Seconds kSettle = 100ms;
    constexpr Seconds kSilence = 300ms;
    constexpr Seconds kEraseRun = 101 * 4ms;
    static const std::vector<ReaderFault> cases = {
        // The password exchange, alone and at the start of the download and the erase.
        {"open_silent", "silent:P", Open, False, ErrorKind::NoAnswer, None, true, kExchange},
        {"open_refused", "refuse:P", Open, False, ErrorKind::Refused, None, false, kExchange},
        {"open_short", "short:P", Open, False, ErrorKind::NoAnswer, None, true, kExchange},
        {"open_garbled", "garble:P", Open, False, ErrorKind::BadAnswer, None, false, kExchange},
        {"open_line_drops", "drop:P", Open, False, ErrorKind::LineDropped, None, false, kExchange},
        {"download_check_silent", "silent:P", Download, Empty, ErrorKind::NoAnswer, Communications,
         true, kExchange},
        {"download_check_refused", "refuse:P", Download, Empty, ErrorKind::Refused, Communications,
         false, kExchange},
        {"download_check_line_drops", "drop:P", Download, Empty, ErrorKind::LineDropped,
         Communications, false, kExchange},
        {"erase_check_silent", "silent:P", Erase, Empty, ErrorKind::NoAnswer, Communications, true,
         kExchange},
        {"erase_check_refused", "refuse:P", Erase, Empty, ErrorKind::Refused, Communications, false,
         kExchange},
        {"erase_check_line_drops", "drop:P", Erase, Empty, ErrorKind::LineDropped, Communications,
         false, kExchange},
        // The download request.
        {"download_silent", "silent:D", Download, NoRecords, ErrorKind::NoAnswer, None, true,
         kExchange + kSettle},
        {"download_refused", "refuse:D", Download, Empty, ErrorKind::BadAnswer, Description, true,
         kExchange + kSettle + 2 * kSilence},
        {"download_short", "short:D", Download, Empty, ErrorKind::BadAnswer, Description, true,
         kExchange + kSettle + 2 * kSilence},
        {"download_line_drops", "drop:D", Download, Empty, ErrorKind::LineDropped, Description,
         true, kExchange + kSettle + 2 * kSilence},
        {"download_stops_halfway", "pause:D", Download, FirstRecords, ErrorKind::Incomplete, Titled,
         true, kExchange + kSettle + 2 * kSilence},
        // The clock: the set-clock request, then the read-back.
        {"sync_set_silent", "silent:T", Sync, False, ErrorKind::NoAnswer, Communications, true,
         kSilence},
        {"sync_set_refused", "refuse:T", Sync, False, ErrorKind::Refused, None, true, kSilence},
        {"sync_set_line_drops", "drop:T", Sync, Throws, ErrorKind::LineDropped, None, true,
         kSilence},
        {"sync_read_silent", "silent:R", Sync, False, ErrorKind::NoAnswer, Communications, true,
         kSilence + 1s + 3s},
        {"sync_read_short", "short:R", Sync, False, ErrorKind::NoAnswer, Communications, true,
         kSilence + 1s + 3s},
        {"sync_read_line_drops", "drop:R", Sync, Throws, ErrorKind::LineDropped, None, true,
         kSilence + 1s + 3s},
        // The erase request: silence is no failure, a refusal is.
        {"erase_silent", "silent:E", Erase, Empty, ErrorKind::None, None, true,
         kExchange + kEraseRun},
        {"erase_refused", "refuse:E", Erase, Empty, ErrorKind::Refused, Titled, true,
         kExchange + kEraseRun},
        {"erase_line_drops", "drop:E", Erase, Throws, ErrorKind::LineDropped, None, true,
         kExchange + kEraseRun},
    };
    return cases;
}

class PtyReaderFaults : public PtyFaultTest, public ::testing::WithParamInterface<ReaderFault> {};

TEST_P(PtyReaderFaults, EndAsSpecified) {
    const ReaderFault& c = GetParam();
    serve({});
    ASSERT_TRUE(open()) << controller->LastFailure().description;
    serve({c.fault});
    const int descriptors = open_descriptors();

    std::string text;
    VariantBool result = kVariantTrue;
    std::optional<Error> raised;
    const Seconds elapsed = timed([&] {
        try {
            switch (c.call) {
                case Call::Open:
                    result = open() ? kVariantTrue : kVariantFalse;
                    break;
                case Call::Download:
                    text = controller->DownloadData();
                    break;
                case Call::Sync:
                    result = controller->SyncUpHostTime();
                    break;
                case Call::Erase:
                    EXPECT_TRUE(controller->EraseData().is_empty());
                    break;
            }
        } catch (const Error& error) {
            raised = error;
        }
    });

    const Failure& failure = controller->LastFailure();
    EXPECT_EQ(failure.kind, c.failure) << failure.description;
    if (c.failure != ErrorKind::None) {
        EXPECT_GE(failure.description.size(), 20U) << "a reason a person can act on";
    }
    EXPECT_EQ(raised.has_value(), c.outcome == Outcome::Throws);
    if (raised) {
        EXPECT_EQ(raised->kind(), c.failure) << raised->what();
    }
    const std::string summary = "Machine ID: KDR00001\r\n\r\n";
    switch (c.outcome) {
        case Outcome::False:
            EXPECT_EQ(result, kVariantFalse);
            break;
        case Outcome::Empty:
            EXPECT_EQ(text, "");
            break;
        case Outcome::NoRecords:
            EXPECT_EQ(text, "Machine ID: \r\n\r\n0 record(s) received\r\n \r\n");
            break;
        case Outcome::FirstRecords:
            EXPECT_EQ(text.rfind(summary + "7 record(s) received", 0), 0U) << text;
            EXPECT_NE(text.find(reader_records().front().text), std::string::npos) << text;
            EXPECT_EQ(text.find(reader_records().back().text), std::string::npos) << text;
            break;
        case Outcome::Throws:
            break;
    }
    switch (c.message) {
        case Message::None:
            EXPECT_TRUE(host.messages.empty()) << host.messages.front().text;
            break;
        case Message::Communications:
            ASSERT_EQ(host.messages.size(), 1U);
            EXPECT_EQ(host.messages[0].text, kCommunicationsFailed);
            EXPECT_EQ(host.messages[0].title, title_of(c.call));
            break;
        case Message::Description:
            ASSERT_EQ(host.messages.size(), 1U);
            EXPECT_EQ(host.messages[0].text, failure.description);
            break;
        case Message::Titled:
            ASSERT_EQ(host.messages.size(), 1U);
            EXPECT_EQ(host.messages[0].title, title_of(c.call));
            EXPECT_GE(host.messages[0].text.size(), 40U) << host.messages[0].text;
            break;
    }
    EXPECT_EQ(controller->get_Opened(), to_variant_bool(c.opened_after));
    EXPECT_LT(elapsed, c.within + kSlack);
    expect_recovery(descriptors);
}

INSTANTIATE_TEST_SUITE_P(EveryStep, PtyReaderFaults, ::testing::ValuesIn(reader_faults()),
                         [](const auto& param_info) { return param_info.param.name; });

// ---- The port is missing or held by another process ------------------------

struct PortFault {
    std::string name;
    Call call;
    ErrorKind failure;
};

void PrintTo(const PortFault& c, std::ostream* out) {
    *out << c.name;
}

class PtyPortFaults : public PtyFaultTest, public ::testing::WithParamInterface<PortFault> {};

// Every operation on a port it cannot open: OpenKDR returns false without a
// message; the download and the erase show the communications message; the
// clock synchronisation, which has no error trap, raises the error. Each
// names the port's own reason, and returns at once.
TEST_P(PtyPortFaults, EndAsSpecified) {
    const PortFault& c = GetParam();
    serve({});
    ASSERT_TRUE(open()) << controller->LastFailure().description;
    const int descriptors = open_descriptors();
    std::optional<PortHolder> holder;
    if (c.failure == ErrorKind::PortBusy) {
        holder.emplace(link.path());
    } else {
        link.point_at("/dev/pts/no-such-terminal");
    }

    std::optional<Error> raised;
    const Seconds elapsed = timed([&] {
        try {
            switch (c.call) {
                case Call::Open:
                    EXPECT_FALSE(open());
                    break;
                case Call::Download:
                    EXPECT_EQ(controller->DownloadData(), "");
                    break;
                case Call::Sync:
                    EXPECT_EQ(controller->SyncUpHostTime(), kVariantFalse);
                    break;
                case Call::Erase:
                    EXPECT_TRUE(controller->EraseData().is_empty());
                    break;
            }
        } catch (const Error& error) {
            raised = error;
        }
    });

    EXPECT_EQ(controller->LastFailure().kind, c.failure) << controller->LastFailure().description;
    EXPECT_NE(controller->LastFailure().description.find(link.path()), std::string::npos)
        << "the reason names the device: " << controller->LastFailure().description;
    EXPECT_EQ(raised.has_value(), c.call == Call::Sync);
    if (c.call == Call::Download || c.call == Call::Erase) {
        ASSERT_EQ(host.messages.size(), 1U);
        EXPECT_EQ(host.messages[0].text, kCommunicationsFailed);
    } else {
        EXPECT_TRUE(host.messages.empty());
    }
    // Neither a silent nor a refusing reader: the connection stays as it was.
    EXPECT_EQ(controller->get_Opened(), kVariantTrue);
    EXPECT_LT(elapsed, kSlack);
    holder.reset();
    expect_recovery(descriptors);
}

INSTANTIATE_TEST_SUITE_P(
    MissingOrBusy, PtyPortFaults,
    ::testing::Values(PortFault{"open_missing", Call::Open, ErrorKind::PortMissing},
                      PortFault{"download_missing", Call::Download, ErrorKind::PortMissing},
                      PortFault{"sync_missing", Call::Sync, ErrorKind::PortMissing},
                      PortFault{"erase_missing", Call::Erase, ErrorKind::PortMissing},
                      PortFault{"open_busy", Call::Open, ErrorKind::PortBusy},
                      PortFault{"download_busy", Call::Download, ErrorKind::PortBusy},
                      PortFault{"sync_busy", Call::Sync, ErrorKind::PortBusy},
                      PortFault{"erase_busy", Call::Erase, ErrorKind::PortBusy}),
    [](const auto& param_info) { return param_info.param.name; });

// ---- Garbage on the line before and after a reply -------------------------

class PtyGarbageTest : public PtyFaultTest {
  protected:
    using Pieces = std::vector<std::pair<std::chrono::milliseconds, std::string>>;

    /// A reader that acknowledges the password and answers "D" and "T" and "R"
    /// with the pieces given; the link points at it.
    void script(const Pieces& connect, const Pieces& download = {}, const Pieces& set_clock = {},
                const Pieces& read_clock = {}) {
        reader = std::make_unique<ScriptedReader>([=](char letter) {
            switch (letter) {
                case protocol::kConnect:
                    return connect;
                case protocol::kDownload:
                    return download;
                case protocol::kSetClock:
                    return set_clock;
                case protocol::kReadClock:
                    return read_clock;
                default:
                    return Pieces{};
            }
        });
        link.point_at(reader->path());
    }
    static std::string answer() { return sim::download_answer("KDR00001", reader_records()); }
    [[nodiscard]] static std::string decoded(const std::string& answer) {
        return protocol::decode_download(answer, {true, true, ConsoleHost().Now().year});
    }

    std::unique_ptr<ScriptedReader> reader;
};

const std::string& ack() {
    static const std::string reply = protocol::ack_reply();
    return reply;
}
constexpr std::string_view kNoise = "\x15~noise\r\n";

TEST_F(PtyGarbageTest, BeforeOrAfterTheAcknowledgementIsAGarbledReply) {
    serve({});  // counted with the descriptors, as the sound reader afterwards
    const int descriptors = open_descriptors();
    for (const auto& reply : {std::string(kNoise) + ack(), ack() + std::string(kNoise)}) {
        script({{5ms, reply}});
        const Seconds elapsed = timed([&] { EXPECT_FALSE(open()); });
        EXPECT_EQ(controller->LastFailure().kind, ErrorKind::BadAnswer);
        EXPECT_NE(controller->LastFailure().description.find("neither its acknowledgement"),
                  std::string::npos)
            << controller->LastFailure().description;
        EXPECT_EQ(controller->get_Opened(), kVariantFalse);
        EXPECT_LT(elapsed, kExchange + kSlack);
    }
    reader.reset();
    expect_recovery(descriptors);
}

TEST_F(PtyGarbageTest, AfterTheReplyWindowIsDiscardedByTheNextCall) {
    // Noise that comes after the exchange's five reads waits in the line's
    // buffer; the download's own exchange discards it before it sends.
    const std::string whole = answer();
    script({{5ms, ack()}}, {{5ms, whole}});
    ASSERT_TRUE(open()) << controller->LastFailure().description;
    reader->send(kNoise);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(controller->DownloadData(), decoded(whole)) << controller->LastFailure().description;
    EXPECT_FALSE(controller->LastFailure());
}

TEST_F(PtyGarbageTest, AroundTheDownloadAnswerDecodesAsTheLayoutSays) {
    // A short tail after the last record shows nothing; a longer one gives
    // one more date line; noise in front shifts the header, which then counts
    // 0. Either tail makes the download incomplete (the last record may be
    // the front of one split on the line), the shifted header no header: both
    // are said, the first in a message too.
    const std::string whole = answer();
    struct Case {
        std::string sent;
        std::string expected;
        ErrorKind failure;
        std::size_t messages;
    };
    const std::vector<Case> cases = {
        {whole + "xyz\r\n", decoded(whole), ErrorKind::Incomplete, 1},
        {whole + "0123456789", decoded(whole) + "2000/01/01 00:00:00\r\n", ErrorKind::Incomplete,
         1},
        {std::string(kNoise) + whole, decoded(std::string(kNoise) + whole), ErrorKind::BadAnswer,
         0},
    };
    for (const auto& c : cases) {
        script({{5ms, ack()}}, {{5ms, c.sent}});
        if (controller->get_Opened() != kVariantTrue) {
            ASSERT_TRUE(open());
        }
        host.messages.clear();
        EXPECT_EQ(controller->DownloadData(), c.expected);
        EXPECT_EQ(controller->LastFailure().kind, c.failure)
            << controller->LastFailure().description;
        EXPECT_EQ(host.messages.size(), c.messages);
    }
    EXPECT_EQ(decoded(std::string(kNoise) + whole).find("Machine ID: \r\n\r\n0 record(s)"), 0U);
}

TEST_F(PtyGarbageTest, AroundTheClockReplies) {
    // The clock reply of a reader whose clock took the time it was sent.
    const auto clock_reply = [] {
        return protocol::build_frame(
            protocol::encode_clock(sim::add_seconds(ConsoleHost().Now(), 1)));
    };
    struct Case {
        std::string name;
        std::string set_reply;
        std::string before_clock, after_clock;  // around the clock reply
        VariantBool result;
        ErrorKind failure;
    };
    const std::vector<Case> cases = {
        {"sound", ack(), "", "", kVariantTrue, ErrorKind::None},
        {"noise after the acknowledgement", ack() + std::string(kNoise), "", "", kVariantFalse,
         ErrorKind::Refused},
        {"noise before the acknowledgement", std::string(kNoise) + ack(), "", "", kVariantFalse,
         ErrorKind::Refused},
        // Characters 2 to 7 are taken as the clock, whatever came first.
        {"noise before the clock", ack(), std::string(kNoise), "", kVariantFalse,
         ErrorKind::BadAnswer},
        {"noise after the clock", ack(), "", std::string(kNoise), kVariantTrue, ErrorKind::None},
    };
    for (const auto& c : cases) {
        script({{5ms, ack()}}, {}, {{5ms, c.set_reply}},
               {{5ms, c.before_clock + clock_reply() + c.after_clock}});
        if (controller->get_Opened() != kVariantTrue) {
            ASSERT_TRUE(open());
        }
        const Seconds elapsed =
            timed([&] { EXPECT_EQ(controller->SyncUpHostTime(), c.result) << c.name; });
        EXPECT_EQ(controller->LastFailure().kind, c.failure)
            << c.name << ": " << controller->LastFailure().description;
        EXPECT_LT(elapsed, 300ms + 1s + kSlack) << c.name;
    }
}

}  // namespace
}  // namespace kdr
