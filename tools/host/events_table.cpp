#include "host/events_table.h"

#include <algorithm>
#include <map>
#include <regex>

namespace qz::test_host {

bool EventsTable::ok() const {
    return std::all_of(rows.begin(), rows.end(), [](const EventsRow& row) { return row.ok(); });
}

void EventsTable::addCamera(const std::string& deviceId, const std::vector<RecordedPacket>& packets,
                            const std::vector<EventExpectation>& expectations) {
    std::map<std::string, EventsRow> byType;
    for (const EventExpectation& expected : expectations) {
        EventsRow& row = byType[expected.typeId];
        row.deviceId = deviceId, row.typeId = expected.typeId;
        row.minCount = expected.minCount, row.maxCount = expected.maxCount;
    }
    for (const RecordedPacket& packet : packets) {
        if (packet.kind != RecordedPacket::Kind::events) continue;
        for (const RecordedMetadata& event : packet.items) {
            auto [it, added] = byType.try_emplace(event.typeId);
            EventsRow& row = it->second;
            if (added) row.deviceId = deviceId, row.typeId = event.typeId;  // none expected
            ++row.got;
            const auto expected = std::find_if(expectations.begin(), expectations.end(),
                                               [&](const EventExpectation& e) { return e.typeId == event.typeId; });
            if (expected == expectations.end() || !expected->check) continue;
            const std::string wrong = expected->check(packet, event);
            if (wrong.empty()) continue;
            if (row.wrongValues++ == 0) row.firstWrong = wrong;
        }
    }
    for (auto& [type, row] : byType) rows.push_back(std::move(row));
}

void EventsTable::print(FILE* out) const {
    std::fprintf(out, "\n%-40s %-22s %6s %10s %7s %s\n", "camera", "event type", "got", "expected", "wrong", "");
    for (const EventsRow& row : rows) {
        const std::string expected = row.minCount == row.maxCount
                                         ? std::to_string(row.minCount)
                                         : std::to_string(row.minCount) + ".." + std::to_string(row.maxCount);
        std::fprintf(out, "%-40s %-22s %6zu %10s %7zu %s\n", row.deviceId.c_str(), row.typeId.c_str(), row.got,
                     expected.c_str(), row.wrongValues, row.ok() ? "ok" : "MISMATCH");
        if (!row.firstWrong.empty()) std::fprintf(out, "  first wrong value: %s\n", row.firstWrong.c_str());
    }
    for (const std::string& note : notes) std::fprintf(out, "%s\n", note.c_str());
    std::fprintf(out, "events: %s\n", ok() ? "every row as expected" : "MISMATCH");
}

std::string checkRateDescription(const RecordedPacket&, const RecordedMetadata& event) {
    static const std::regex layout(
        "\nDevice throughput: -?[0-9]+ / -?[0-9]+ Inferences/s\nServer throughput: -?[0-9]+ / -?[0-9]+ "
        "Inferences/s\n");
    if (std::regex_match(event.description, layout) && event.caption == "Performance" && !event.isActive) return "";
    return "unexpected rate event '" + event.description + "'";
}

double packetSpanSeconds(const std::vector<RecordedPacket>& packets) {
    if (packets.size() < 2) return 0.0;
    const auto [first, last] = std::minmax_element(
        packets.begin(), packets.end(),
        [](const RecordedPacket& a, const RecordedPacket& b) { return a.receivedAt < b.receivedAt; });
    return std::chrono::duration<double>(last->receivedAt - first->receivedAt).count();
}

size_t secondsWithPackets(const std::vector<RecordedPacket>& packets) {
    std::vector<std::chrono::steady_clock::time_point> times;
    for (const RecordedPacket& packet : packets) times.push_back(packet.receivedAt);
    std::sort(times.begin(), times.end());
    size_t count = 0;
    std::chrono::steady_clock::time_point last;
    for (const auto& t : times) {
        if (count == 0 || t - last >= std::chrono::seconds(1)) {
            ++count;
            last = t;
        }
    }
    return count;
}

}  // namespace qz::test_host
