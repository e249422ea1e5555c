// The station's loop over a model reader on a virtual clock that never
// sleeps: what each docking comes to and what the station says of it.
#include "collect/station.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model_reader.hpp"
#include "store_support.hpp"

namespace kdr::store::test {
namespace {

using collect::Poll;
using collect::StationIo;
using kdr::test::ModelReader;

// The model reader, as a poll hands it out while the station holds it.
class Docked final : public collect::ReaderLink {
  public:
    explicit Docked(ModelReader& reader) : reader_(reader) {}
    [[nodiscard]] Download download() override { return reader_.download(); }
    EraseReply erase() override { return reader_.erase(); }

  private:
    ModelReader& reader_;
};

// Each poll finds what the script says (ErrorKind::None: the reader takes
// the password); a stop is asked for once the script has run out.
class ScriptedIo final : public StationIo {
  public:
    ScriptedIo(ModelReader& reader, std::deque<ErrorKind> polls, std::string store)
        : reader_(reader), polls_(std::move(polls)), target_(std::move(store)) {}

    Poll poll(const collect::StopSignal& /*stop*/) override {
        const ErrorKind found = polls_.front();
        polls_.pop_front();
        Poll poll;
        if (found == ErrorKind::None) {
            poll.reader = std::make_unique<Docked>(reader_);
        } else {
            poll.failure = found;
            poll.why = std::string(to_string(found));
        }
        return poll;
    }
    Store& store() override {
        ++store_calls;
        if (!store_) {
            store_ = open_store(target_);
        }
        return *store_;
    }
    void drop_store() override { store_.reset(); }
    Time now() override { return now_; }
    void sleep_until(Time wake) override { now_ = std::max(now_, wake); }
    bool stop_requested() override { return polls_.empty(); }
    void say(std::string_view line, bool /*failure*/) override { lines.emplace_back(line); }
    void report(const collect::CollectResult& result,
                const std::optional<collect::Retry>& retry) override {
        lines.push_back(collect::station_line(result, retry));
    }

    std::vector<std::string> lines;
    int store_calls = 0;

  private:
    ModelReader& reader_;
    std::deque<ErrorKind> polls_;
    std::string target_;
    std::unique_ptr<Store> store_;
    Time now_{};
};

TEST(Station, SaysWhatEachDockingCameTo) {
    const auto five_records = [] { return simulator::sample_records(5, {2026, 12, 1, 8, 0, 0}); };
    const auto none = [](const std::string&) { return std::string(); };
    const auto stop = [](const std::string&) -> std::string { throw collect::StopRequested{}; };
    struct Case {
        std::string name;
        std::deque<ErrorKind> polls;
        std::deque<ModelReader::Damage> damage;
        std::vector<std::string> lines;  // each line's start, in order
        bool erased;
    };
    const std::string port = "/dev/ttyS7";
    const std::vector<Case> cases{
        {"a garbled acknowledgement is no refusal",
         {ErrorKind::BadAnswer, ErrorKind::None, ErrorKind::NoAnswer},
         {},
         {"watching /dev/ttyS7", "KDR00001 on /dev/ttyS7: 5 new, 0 already stored; erased",
          "stopped"},
         true},
        {"a refusal is said once while the reader stays",
         {ErrorKind::Refused, ErrorKind::Refused, ErrorKind::NoAnswer},
         {},
         {"watching", "the reader on /dev/ttyS7 refuses the password (none was given)", "stopped"},
         false},
        {"later reads unanswered are no damage",
         {ErrorKind::None, ErrorKind::NoAnswer},
         {nullptr, none, none},
         {"watching",
          "KDR00001 on /dev/ttyS7: no record stored, nothing erased: read 1 whole, read 2 no "
          "answer, read 3 no answer: no second answer",
          "stopped"},
         false},
        {"a stop during a read erases nothing",
         {ErrorKind::None, ErrorKind::NoAnswer},
         {nullptr, stop},
         {"watching", "stopped during the download from /dev/ttyS7: nothing stored, nothing erased",
          "stopped"},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir dir;
        ModelReader reader;
        reader.records = five_records();
        for (const ModelReader::Damage& damage : c.damage) {
            reader.damage.push_back(damage ? damage : [](std::string a) { return a; });
        }
        ScriptedIo io(reader, c.polls, (dir.path() / "s.sqlite").string());
        collect::Station station(io, {port, false, {true, {}, false}, false});
        station.run();
        ASSERT_EQ(io.lines.size(), c.lines.size()) << fmt::format("{}", fmt::join(io.lines, "\n"));
        for (std::size_t i = 0; i < c.lines.size(); ++i) {
            EXPECT_EQ(io.lines[i].substr(0, c.lines[i].size()), c.lines[i]) << io.lines[i];
        }
        EXPECT_EQ(reader.records.empty(), c.erased);
    }
}

// The port's state reaches the store when it changes, not at every poll: a
// reader that does not answer leaves the port reachable.
TEST(Station, RecordsThePortsStateWhenItChanges) {
    struct Case {
        std::deque<ErrorKind> polls;
        int writes;
        bool reachable;
        std::string failure;
    };
    const std::vector<Case> cases{
        {{ErrorKind::PortMissing, ErrorKind::PortMissing, ErrorKind::PortBusy, ErrorKind::PortBusy,
          ErrorKind::NoAnswer, ErrorKind::NoAnswer},
         3,
         true,
         ""},
        {{ErrorKind::NoAnswer, ErrorKind::LineDropped, ErrorKind::IoError}, 2, false, "unusable"},
    };
    for (const Case& c : cases) {
        const TempDir dir;
        const std::string target = (dir.path() / "s.sqlite").string();
        ModelReader reader;
        ScriptedIo io(reader, c.polls, target);
        collect::Station station(io, {"/dev/ttyS7", false, {true, {}, false}, false});
        station.run();
        EXPECT_EQ(io.store_calls, c.writes);
        const std::vector<PortState> ports = open_store(target, OpenMode::ReadOnly)->port_states();
        ASSERT_EQ(ports.size(), 1U);
        EXPECT_EQ(ports[0].port, "/dev/ttyS7");
        EXPECT_EQ(ports[0].reachable, c.reachable);
        EXPECT_EQ(ports[0].failure, c.failure);
    }
}

}  // namespace
}  // namespace kdr::store::test
