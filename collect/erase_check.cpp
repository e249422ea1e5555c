#include "collect/erase_check.hpp"

#include <exception>

#include "kdr/error.hpp"

namespace kdr::collect {

EraseReadBack read_back_after_erase(Reader& reader, std::string_view machine_id) {
    try {
        const Download download = reader.download();
        if (!download.has_header) {
            return {EraseReadBack::Found::Unknown, 0, "the reader sent no header"};
        }
        if (!machine_id.empty() && download.machine_id != machine_id) {
            return {EraseReadBack::Found::Unknown, 0, "another reader answered"};
        }
        if (download.announced == 0 && download.records.empty()) {
            return {EraseReadBack::Found::Empty, 0, {}};
        }
        return {EraseReadBack::Found::Holds,
                download.announced > 0 ? download.announced
                                       : static_cast<std::int32_t>(download.records.size()),
                {}};
    } catch (const std::exception& error) {
        return {EraseReadBack::Found::Unknown, 0, error.what()};
    }
}

}  // namespace kdr::collect
