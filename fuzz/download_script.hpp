// The input of the download fuzz target, and how the seed maker writes one:
// the controller's switches, then the reader's answer as chunks, each with
// the pause before it.
//
//   byte 0   switches: bit 0 ShowMachineID, bit 1 ShowRTC, bit 2 the line
//            drops at a message-loop turn, bit 3 a nested DownloadData at a
//            message-loop turn, bit 4 pauses may pass the 0.3 s silence wait
//   byte 1   the message-loop turn (counted from the download request) of the
//            events of bits 2 and 3
//   then     chunks: length (2 bytes, little endian), pause (1 byte), bytes;
//            a chunk longer than what is left takes the rest
//
// A pause byte p is p milliseconds (always shorter than the silence wait), or
// with bit 4 set p * 4 milliseconds.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kdr::fuzz {

struct Chunk {
    std::chrono::milliseconds pause{};
    std::string bytes;
};

struct DownloadScript {
    bool show_machine_id = false;
    bool show_rtc = false;
    bool drop_line = false;
    bool nested_call = false;
    bool long_pauses = false;
    int event_turn = 0;
    std::vector<Chunk> chunks;

    [[nodiscard]] std::string answer() const {
        std::string whole;
        for (const auto& chunk : chunks) {
            whole += chunk.bytes;
        }
        return whole;
    }
};

inline constexpr std::size_t kChunkHeader = 3;

[[nodiscard]] inline DownloadScript parse_script(std::string_view data) {
    DownloadScript script;
    if (data.size() < 2) {
        return script;
    }
    const auto switches = static_cast<unsigned char>(data[0]);
    script.show_machine_id = (switches & 1U) != 0;
    script.show_rtc = (switches & 2U) != 0;
    script.drop_line = (switches & 4U) != 0;
    script.nested_call = (switches & 8U) != 0;
    script.long_pauses = (switches & 16U) != 0;
    script.event_turn = static_cast<unsigned char>(data[1]);
    data.remove_prefix(2);
    while (data.size() >= kChunkHeader) {
        const auto byte = [data](std::size_t at) {
            return static_cast<std::size_t>(static_cast<unsigned char>(data[at]));
        };
        const std::size_t length = byte(0) | byte(1) << 8U;
        const int pause = static_cast<unsigned char>(data[2]);
        data.remove_prefix(kChunkHeader);
        const std::string_view bytes = data.substr(0, length);
        data.remove_prefix(bytes.size());
        script.chunks.push_back({std::chrono::milliseconds(script.long_pauses ? pause * 4 : pause),
                                 std::string(bytes)});
    }
    return script;
}

/// The input that parse_script reads back as these switches and chunks; each
/// chunk at most 65,535 bytes, each pause at most 255 ms (1,020 ms with
/// long_pauses, in steps of 4 ms).
[[nodiscard]] inline std::string write_script(const DownloadScript& script) {
    std::string out;
    out += static_cast<char>((script.show_machine_id ? 1U : 0U) | (script.show_rtc ? 2U : 0U) |
                             (script.drop_line ? 4U : 0U) | (script.nested_call ? 8U : 0U) |
                             (script.long_pauses ? 16U : 0U));
    out += static_cast<char>(script.event_turn & 0xFF);
    for (const auto& chunk : script.chunks) {
        const std::size_t length = chunk.bytes.size();
        out += static_cast<char>(length & 0xFFU);
        out += static_cast<char>((length >> 8U) & 0xFFU);
        const auto pause = chunk.pause.count() / (script.long_pauses ? 4 : 1);
        out += static_cast<char>(pause & 0xFF);
        out += chunk.bytes;
    }
    return out;
}

}  // namespace kdr::fuzz
