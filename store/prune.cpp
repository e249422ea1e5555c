#include "store/prune.hpp"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <vector>

namespace kdr::store::detail {

PruneReport prune_memories(Database& db, std::chrono::year_month_day before, bool dry_run) {
    // Every reader's row, as a collect locks its own: a memory cannot become
    // current again, nor be extended, while it is judged.
    static_cast<void>(
        db.run(fmt::format("SELECT id FROM readers ORDER BY id{}", db.lock_suffix())));
    // A memory ended by a verified erase: a download of it was read back
    // empty, none continued it, and it is not the reader's current one.
    // Times are kept as "2026-12-07T13:05:00.123Z" text (SQLite), which
    // sorts as the moments do; PostgreSQL reads the text as a moment.
    const std::string midnight = fmt::format("{:04}-{:02}-{:02}T00:00:00.000Z", int{before.year()},
                                             unsigned{before.month()}, unsigned{before.day()});
    const Rows ended = db.run(
        "SELECT d.reader_id, r.machine_id, d.memory FROM downloads d JOIN readers r ON r.id = "
        "d.reader_id WHERE d.erase = 'verified' AND d.memory > 0 AND d.ended_at < ?1 AND "
        "(r.memory IS NULL OR r.memory <> d.memory) AND NOT EXISTS (SELECT 1 FROM downloads e "
        "WHERE e.memory = d.memory AND e.id > d.id) ORDER BY r.machine_id, d.memory",
        {midnight});
    PruneReport report;
    for (const Row& memory : ended) {
        const std::int64_t reader_id = memory.integer(0);
        const std::int64_t memory_id = memory.integer(2);
        const std::int64_t records =
            db.run("SELECT count(*) FROM records WHERE memory = ?1", {memory_id}).at(0).integer(0);
        if (records == 0) {
            continue;  // pruned before, or a memory that never held a record
        }
        if (report.readers.empty() || report.readers.back().machine_id != memory.bytes(1)) {
            report.readers.push_back({memory.bytes(1), 0, 0});
        }
        ++report.readers.back().memories;
        report.readers.back().records += static_cast<std::size_t>(records);
        if (dry_run) {
            continue;
        }
        // record_days counts stamped records per reader and day.
        for (const Row& day :
             db.run(fmt::format("SELECT {}, count(*) FROM records x WHERE x.memory = ?1 AND "
                                "x.stamp IS NOT NULL GROUP BY {}",
                                db.local_day("x.stamp"), db.local_day("x.stamp")),
                    {memory_id})) {
            db.run(
                "UPDATE record_days SET records = records - ?1 WHERE reader_id = ?2 AND day = ?3",
                {day.integer(1), reader_id, day.bytes(0)});
        }
        db.run("DELETE FROM record_days WHERE reader_id = ?1 AND records <= 0", {reader_id});
        // A plain DELETE, so that what triggers keep beside the records follows.
        db.run("DELETE FROM records WHERE memory = ?1", {memory_id});
        db.run(
            "INSERT INTO pruned_memories (memory, reader_id, records, pruned_at) VALUES (?1, ?2, "
            "?3, ?4)",
            {memory_id, reader_id, records,
             fmt::format("{:%Y-%m-%dT%H:%M:%SZ}", std::chrono::floor<std::chrono::seconds>(
                                                      std::chrono::system_clock::now()))});
    }
    return report;
}

}  // namespace kdr::store::detail
