// The stores the tests run against: a SQLite file in a temporary folder, or a
// fresh database on the PostgreSQL server that the ctest fixture started
// (tests/store/pg_server.sh). PostgreSQL tests skip, saying why, only when the
// server programs are not installed.
#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <string>

#include "store/store.hpp"

namespace kdr::store::test {

enum class Backend { Sqlite, Postgres };

inline void PrintTo(Backend backend, std::ostream* out) {
    *out << (backend == Backend::Sqlite ? "SQLite" : "PostgreSQL");
}

inline std::string backend_name(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::Sqlite ? "Sqlite" : "Postgres";
}

/// A folder removed with everything in it at the end of the test.
class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "kdr-store-test.XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

/// The URI of the test server's "postgres" database; nullopt with the reason
/// when there is no server.
inline std::optional<std::string> postgres_server(std::string& why) {
    const std::filesystem::path state = KDR_TEST_PG_STATE;
    if (std::filesystem::exists(state / "url")) {
        return read_file(state / "url");
    }
    why = std::filesystem::exists(state / "missing")
              ? read_file(state / "missing")
              : "the PostgreSQL test server was not started (run the tests with ctest)";
    return std::nullopt;
}

/// Runs one statement on the server; fails the test when it fails.
inline void postgres_exec(const std::string& uri, const std::string& sql) {
    PGconn* connection = PQconnectdb(uri.c_str());
    ASSERT_EQ(PQstatus(connection), CONNECTION_OK) << PQerrorMessage(connection);
    PGresult* result = PQexec(connection, sql.c_str());
    EXPECT_EQ(PQresultStatus(result), PGRES_COMMAND_OK) << PQerrorMessage(connection);
    PQclear(result);
    PQfinish(connection);
}

/// A new, empty database on the test server, and its URI.
inline std::string fresh_postgres_database(const std::string& server) {
    static std::atomic<int> counter{0};
    const std::string name = "kdr_test_" + std::to_string(::getpid()) + "_" +
                             std::to_string(counter++) + "_" +
                             std::to_string(std::random_device{}() % 100000);
    postgres_exec(server, "CREATE DATABASE " + name);
    const std::size_t path = server.find("/postgres?");
    return server.substr(0, path) + "/" + name + server.substr(path + 9);
}

/// The --db target of a new, empty store of the back end. Skips the test when
/// PostgreSQL is not there.
#define KDR_NEW_STORE(target, backend, dir)                                                 \
    std::string target;                                                                     \
    if ((backend) == ::kdr::store::test::Backend::Sqlite) {                                 \
        target = ((dir).path() / "records.sqlite").string();                                \
    } else {                                                                                \
        std::string why;                                                                    \
        const std::optional<std::string> server = ::kdr::store::test::postgres_server(why); \
        if (!server) {                                                                      \
            GTEST_SKIP() << why;                                                            \
        }                                                                                   \
        target = ::kdr::store::test::fresh_postgres_database(*server);                      \
    }

/// Every stored record's text, which the tests make unique: no text may be
/// stored twice.
inline std::multiset<std::string> stored_texts(Store& store) {
    std::multiset<std::string> texts;
    for (const StoredRecord& record : store.records({})) {
        texts.insert(record.record.text);
    }
    return texts;
}

/// The texts stored more than once.
inline std::set<std::string> doubled(const std::multiset<std::string>& texts) {
    std::set<std::string> twice;
    for (const std::string& text : texts) {
        if (texts.count(text) > 1) {
            twice.insert(text);
        }
    }
    return twice;
}

/// Every download holds exactly the records it says it stored: a download
/// was stored wholly or not at all.
inline void expect_downloads_whole(Store& store) {
    std::map<std::int64_t, std::int64_t> per_download;
    for (const StoredRecord& record : store.records({})) {
        ++per_download[record.download_id];
    }
    for (const StoredDownload& download : store.downloads()) {
        EXPECT_EQ(per_download[download.id], download.new_records)
            << "download " << download.id << " holds a part of its records";
    }
}

}  // namespace kdr::store::test
