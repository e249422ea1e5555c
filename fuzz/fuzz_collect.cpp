// The never-twice promise of a collect, over random sequences of what happens
// to a reader and its line: new scans (also between the reads of one
// collect), damaged, cut and missing reads, erases the reader acknowledges,
// carries out silently, ignores or refuses, and collects with and without an
// erase, into a real SQLite store. After every step: every record the reader
// ever held is in the store exactly once or still in the reader, and nothing
// it never held is stored as a record.
//
// Input: one operation a byte (its low three bits), some followed by a byte
// or two of their own; at most 64 operations.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "collect/collect.hpp"
#include "fuzz_check.hpp"
#include "kdr/simulator.hpp"
#include "model_reader.hpp"
#include "store/store.hpp"

namespace {

using kdr::fuzz::check;
using kdr::test::ModelReader;
namespace sim = kdr::simulator;

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    [[nodiscard]] bool more() const { return at_ < size_; }
    std::uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// A store file of this process's own, on a memory file system when there is
// one: a durable commit there costs no disk flush.
std::string store_path() {
    const std::filesystem::path folder =
        std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    return (folder / ("kdr-fuzz-collect-" + std::to_string(::getpid()) + ".sqlite")).string();
}

void remove_store(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::filesystem::remove(path + suffix);
    }
}

class Run {
  public:
    explicit Run(const std::string& path) : store_(kdr::store::open_store(path)) {}

    void scan() {
        const int n = taken_++;
        reader_.records.push_back({sim::add_seconds({2026, 1, 1, 8, 0, 0}, n * 61),
                                   "scan " + std::to_string(n), static_cast<char>('0' + n % 10),
                                   false});
        held_.insert(reader_.records.back().text);
    }

    // Line damage is independent from read to read: no two damaged reads are
    // alike (each flip has a mask of its own), or two reads would agree on it.
    void damage(std::uint8_t kind, std::uint8_t where) {
        const std::size_t place = 1U + where;
        switch (kind % 4) {
            case 0: {
                const auto mask = static_cast<unsigned char>(1U + (damages_++ % 255U));
                reader_.damage.emplace_back([place, mask](std::string answer) {
                    if (place < answer.size()) {
                        answer[place] =
                            static_cast<char>(static_cast<unsigned char>(answer[place]) ^ mask);
                    }
                    return answer;
                });
                break;
            }
            case 1:
                reader_.damage.push_back(kdr::test::cut_at(place));
                break;
            case 2:
                reader_.damage.emplace_back([](const std::string&) { return std::string(); });
                break;
            default:
                // A scan while the collect reads, just before this read: it
                // and the next reads see one more. (A scan after the last
                // read and before the erase would be erased unseen: no host
                // can keep that one, so it is not played.)
                reader_.damage.emplace_back([this](const std::string&) {
                    scan();
                    return sim::download_answer(reader_.machine_id, reader_.records);
                });
                break;
        }
    }

    void erase_behaviour(std::uint8_t kind) {
        using Erase = ModelReader::Erase;
        constexpr Erase kinds[] = {Erase::Acknowledge, Erase::Silently, Erase::Refuse,
                                   Erase::IgnoreSilently};
        reader_.erases.push_back(kinds[kind % 4]);
    }

    void collect(bool erase) {
        static_cast<void>(kdr::collect::collect(reader_, "fuzz", *store_, {erase, {}, false}));
        // Damage queued for reads that did not happen is the next collect's.
    }

    void check_promise() {
        std::map<std::string, int> stored;
        for (const kdr::store::StoredRecord& record : store_->records({})) {
            ++stored[record.record.text];
        }
        std::set<std::string> in_reader;
        for (const sim::Record& record : reader_.records) {
            in_reader.insert(record.text);
        }
        for (const auto& [text, count] : stored) {
            check(count == 1, "a record is stored once");
            check(held_.count(text) == 1, "only what the reader held is stored");
        }
        for (const std::string& text : held_) {
            check(stored.count(text) == 1 || in_reader.count(text) == 1,
                  "every record is stored or still in the reader");
        }
    }

  private:
    std::unique_ptr<kdr::store::Store> store_;
    ModelReader reader_;
    std::set<std::string> held_;
    int taken_ = 0;
    unsigned damages_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = store_path();
    remove_store(path);
    {
        Run run(path);
        Input input(data, size);
        for (int step = 0; step < 64 && input.more(); ++step) {
            const std::uint8_t op = input.next();
            switch (op % 8) {
                case 0:
                case 1:
                    run.scan();
                    break;
                case 2: {
                    const std::uint8_t kind = input.next();
                    run.damage(kind, input.next());
                    break;
                }
                case 3:
                    run.erase_behaviour(input.next());
                    break;
                case 4:
                case 5:
                    run.collect(false);
                    break;
                default:
                    run.collect(true);
                    break;
            }
            run.check_promise();
        }
    }
    remove_store(path);
    return 0;
}
