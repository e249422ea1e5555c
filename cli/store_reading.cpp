#include "cli/store_reading.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <vector>

#include "cli/session.hpp"
#include "kdr/text_encoding.hpp"

namespace kdr::cli {

namespace {

// The readers the store holds, as the outputs show them, when few enough to
// list in a sentence.
constexpr std::size_t kReadersListed = 10;

}  // namespace

std::chrono::year_month_day parse_day(const std::string& text, std::string_view option) {
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    char extra = 0;
    if (std::sscanf(text.c_str(), "%4d-%2u-%2u%c", &year, &month, &day, &extra) != 3) {
        throw UsageError(fmt::format("{} {}: give a date as YYYY-MM-DD", option, text));
    }
    const std::chrono::year_month_day parsed{std::chrono::year{year}, std::chrono::month{month},
                                             std::chrono::day{day}};
    if (!parsed.ok()) {
        throw UsageError(fmt::format("{} {}: no such date", option, text));
    }
    return parsed;
}

bool reader_known(store::Store& store, const std::optional<std::string>& reader, Console& console) {
    if (!reader) {
        return true;
    }
    const std::vector<std::string> ids = store.readers();
    if (std::any_of(ids.begin(), ids.end(),
                    [&](const std::string& id) { return store::same_reader(id, *reader); })) {
        return true;
    }
    std::string held;
    if (ids.empty()) {
        held = "it holds no reader yet";
    } else if (ids.size() <= kReadersListed) {
        std::vector<std::string> shown;
        shown.reserve(ids.size());
        for (const std::string& id : ids) {
            shown.push_back(cp1252_to_utf8(trim_spaces(id)));
        }
        held = fmt::format("it holds {}", fmt::join(shown, ", "));
    } else {
        held = fmt::format("it holds {} readers (kdr history lists them)", ids.size());
    }
    console.err << fmt::format("kdr: --reader {}: the store {} holds no such reader; {}\n", *reader,
                               store.name(), held);
    return false;
}

void write_out(const std::string& text, Console& console) {
    console.out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void write_result(const std::optional<ResultFile>& file, const std::string& text,
                  Console& console) {
    if (file) {
        file->commit(text);
    } else {
        write_out(text, console);
    }
}

}  // namespace kdr::cli
