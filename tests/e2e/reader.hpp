// A simulated reader on a pseudo-terminal for one test, and what a download
// from it must give.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kdr/posix_platform.hpp"
#include "kdr/simulator.hpp"
#include "process.hpp"
#include "protocol/record_decoding.hpp"

namespace kdr::e2e {

namespace sim = kdr::simulator;

inline const std::string kPassword = "s3cret";
inline const std::string kMachineId = "KDR00077";

/// Sample records and a few awkward ones: a quote and a comma, "?" inside,
/// a long text, a text of its leading character only.
inline std::vector<sim::Record> test_records() {
    const LocalDateTime now = ConsoleHost().Now();
    std::vector<sim::Record> records = sim::sample_records(6, sim::add_seconds(now, -7200));
    const LocalDateTime recent = sim::add_seconds(now, -600);
    records.push_back({recent, "LOT \"7\", BIN 3", 'A'});
    records.push_back({recent, "WHY? BECAUSE?", 'B'});
    records.push_back({recent, std::string(300, 'L') + "END", 'C'});
    records.push_back({recent, "", 'D'});
    return records;
}

inline sim::ReaderConfig reader_config(const std::vector<std::string>& faults = {},
                                       sim::Pacing pacing = sim::Pacing::Fast) {
    sim::ReaderConfig config;
    config.password = kPassword;
    config.machine_id = kMachineId;
    config.clock = ConsoleHost().Now();
    config.records = test_records();
    config.pacing = pacing;
    for (const std::string& fault : faults) {
        config.faults.push_back(sim::parse_fault(fault));
    }
    return config;
}

/// The reader, served on its own thread for the length of a test.
class SimulatedReader {
  public:
    explicit SimulatedReader(sim::ReaderConfig config) : server_(std::move(config)) {
        server_.start();
    }
    ~SimulatedReader() { server_.stop(); }
    SimulatedReader(const SimulatedReader&) = delete;
    SimulatedReader& operator=(const SimulatedReader&) = delete;

    [[nodiscard]] std::string path() const { return server_.device_path(); }
    [[nodiscard]] sim::PtyServer& server() { return server_; }
    /// The command letters of the requests the reader received, in order.
    [[nodiscard]] std::string letters() const {
        std::string letters;
        for (const sim::Request& request : server_.requests()) {
            letters += request.letter;
        }
        return letters;
    }

  private:
    sim::PtyServer server_;
};

/// `kdr COMMAND --port PATH --password ...` and the extra arguments.
inline std::vector<std::string> command(const std::string& name, const SimulatedReader& reader,
                                        std::vector<std::string> extra = {}) {
    std::vector<std::string> args{name, "--port", reader.path(), "--password", kPassword};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

/// The controller's result text for an answer, as the controller decodes it.
inline std::string decoded(std::string_view answer, bool machine_id, bool dates) {
    return protocol::decode_download(answer, {machine_id, dates, ConsoleHost().Now().year});
}

/// The result text a download of these records gives.
inline std::string expected_download(const std::vector<sim::Record>& records, bool machine_id,
                                     bool dates) {
    return decoded(sim::download_answer(kMachineId, records), machine_id, dates);
}

inline std::string lf_lines(std::string text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            out += text[i];
        }
    }
    return out;
}

}  // namespace kdr::e2e
