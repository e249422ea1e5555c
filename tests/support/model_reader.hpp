// A reader for a collect without a line: it answers a download with the
// answer a reader holding `records` sends, each read through the line damage
// queued for it, and carries out erases as queued. The collect's decisions
// and the never-twice rule are tested on it, one read at a time.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "collect/collect.hpp"
#include "kdr/error.hpp"
#include "kdr/simulator.hpp"
#include "protocol/record_decoding.hpp"

namespace kdr::test {

class ModelReader final : public collect::ReaderLink {
  public:
    /// What the line does to one answer; an empty result is no answer.
    using Damage = std::function<std::string(std::string)>;
    /// What the reader does with one erase request.
    enum class Erase : std::uint8_t {
        Acknowledge,      ///< forgets its records and says so
        Silently,         ///< forgets them and says nothing
        Refuse,           ///< keeps them and refuses
        IgnoreSilently,   ///< keeps them and says nothing
        AcknowledgeOnly,  ///< says so but keeps them
    };

    std::string machine_id = "KDR00001";
    std::vector<simulator::Record> records;
    /// Damage for the next reads, in order; a read without any arrives whole.
    std::deque<Damage> damage;
    /// What the next erases do, in order; without any, Acknowledge.
    std::deque<Erase> erases;
    int reads = 0;

    [[nodiscard]] Download download() override {
        ++reads;
        std::string answer = simulator::download_answer(machine_id, records);
        if (!damage.empty()) {
            answer = damage.front()(std::move(answer));
            damage.pop_front();
        }
        if (answer.empty()) {
            throw Error(ErrorKind::NoAnswer, "The reader did not answer");
        }
        Download download = protocol::decode_records(answer, 2026);
        if (!download.has_header) {
            throw Error(ErrorKind::BadAnswer, "The answer has no header");
        }
        return download;
    }

    EraseReply erase() override {
        const Erase what = erases.empty() ? Erase::Acknowledge : erases.front();
        if (!erases.empty()) {
            erases.pop_front();
        }
        switch (what) {
            case Erase::Acknowledge:
                records.clear();
                return EraseReply::Acknowledged;
            case Erase::Silently:
                records.clear();
                return EraseReply::Silent;
            case Erase::Refuse:
                throw Error(ErrorKind::Refused, "The reader refused to erase its records.");
            case Erase::IgnoreSilently:
                return EraseReply::Silent;
            case Erase::AcknowledgeOnly:
                return EraseReply::Acknowledged;
        }
        return EraseReply::Silent;
    }
};

/// One byte of the answer at `place` with its lowest bit flipped.
inline ModelReader::Damage flip_at(std::size_t place) {
    return [place](std::string answer) {
        if (place < answer.size()) {
            answer[place] = static_cast<char>(static_cast<unsigned char>(answer[place]) ^ 1U);
        }
        return answer;
    };
}

/// The answer cut after `keep` bytes.
inline ModelReader::Damage cut_at(std::size_t keep) {
    return [keep](std::string answer) { return answer.substr(0, keep); };
}

}  // namespace kdr::test
