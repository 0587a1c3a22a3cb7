#include "host/main_job_events.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <set>

namespace qz::test_host {

namespace {

std::string totalsText(const CrossingTotals& totals) {
    return "Left: " + std::to_string(totals.left) + "\nRight: " + std::to_string(totals.right);
}

std::string oneLine(std::string text) {
    for (char& c : text)
        if (c == '\n') c = '|';
    return text;
}

}  // namespace

bool objectsHaveTheirEvents(const std::vector<RecordedPacket>& packets) {
    std::set<std::pair<std::string, int64_t>> objects, events;
    for (const RecordedPacket& packet : packets) {
        if (packet.kind == RecordedPacket::Kind::objects && !packet.items.empty())
            objects.emplace(packet.deviceId, packet.timestampUs);
        else if (packet.kind == RecordedPacket::Kind::events)
            events.emplace(packet.deviceId, packet.timestampUs);
    }
    return std::includes(events.begin(), events.end(), objects.begin(), objects.end());
}

EventsTable checkRunEvents(const Recorder& recorder, const RunEventFacts& facts) {
    EventsTable table;
    for (size_t c = 0; c < facts.deviceIds.size(); ++c) {
        const std::string& deviceId = facts.deviceIds[c];
        const std::vector<RecordedPacket> packets = recorder.packets(deviceId);
        std::set<int64_t> withObjects, withPackets;
        for (const RecordedPacket& packet : packets) {
            withPackets.insert(packet.timestampUs);
            if (packet.kind == RecordedPacket::Kind::objects && !packet.items.empty())
                withObjects.insert(packet.timestampUs);
        }
        std::vector<EventExpectation> expected;

        const double span = packetSpanSeconds(packets);
        // The plug-in reports rates at most once a second, from outputs on its
        // own clock: one fewer than the packets' seconds allow for that.
        const size_t reports = secondsWithPackets(packets);
        expected.push_back({"qz.qzai.fps", reports > 0 ? reports - 1 : 0, static_cast<size_t>(std::ceil(span)) + 1,
                            checkRateDescription});

        const std::string counted = "\n" + facts.className + ": " + std::to_string(facts.squaresPerFrame) + "\n";
        expected.push_back({"qz.qzai.counted", withObjects.size(), withObjects.size(),
                            [&withObjects, counted](const RecordedPacket& packet, const RecordedMetadata& event) {
                                if (!withObjects.count(packet.timestampUs)) return std::string("on a frame without objects");
                                if (event.description != counted || event.caption != "Objects counted" || !event.isActive)
                                    return "'" + oneLine(event.description) + "' where '" + oneLine(counted) + "'";
                                return std::string();
                            }});

        // The two-stage pipeline adds its child outputs' own counts and one
        // "qz.qzai.category" event per child output here.

        std::map<int64_t, CrossingTotals> crossings;
        if (facts.rules) {
            std::map<int64_t, int> sightings;
            for (int64_t t : withObjects)
                if (const auto frame = facts.frameOfTimestamp.find(t); frame != facts.frameOfTimestamp.end())
                    sightings.emplace(t, frame->second);
            crossings = facts.rules->expectedTotals(static_cast<int>(c), sightings);
            const size_t frames =
                crossings.empty() ? 0 : std::distance(withPackets.lower_bound(crossings.begin()->first), withPackets.end());
            expected.push_back({"qz.qzai.linecrossing", frames, frames,
                                [&crossings](const RecordedPacket& packet, const RecordedMetadata& event) {
                                    auto after = crossings.upper_bound(packet.timestampUs);
                                    if (after == crossings.begin()) return std::string("before any crossing");
                                    const std::string want = totalsText(std::prev(after)->second);
                                    if (event.description != want || event.caption != "Line crossing detected")
                                        return "'" + oneLine(event.description) + "' where '" + oneLine(want) + "'";
                                    return std::string();
                                }});
        }
        if (facts.moreExpectations) facts.moreExpectations(c, expected);
        table.addCamera(deviceId, packets, expected);

        if (facts.rules) {
            std::string got = "none";
            int64_t last = INT64_MIN;
            for (const RecordedPacket& packet : packets)
                for (const RecordedMetadata& event : packet.items)
                    if (event.typeId == "qz.qzai.linecrossing" && packet.timestampUs >= last)
                        last = packet.timestampUs, got = oneLine(event.description);
            const std::string want = crossings.empty() ? "none" : oneLine(totalsText(crossings.rbegin()->second));
            table.notes.push_back(deviceId + " line crossings, final totals: got " + got + " / expected " + want);
        }
    }
    return table;
}

}  // namespace qz::test_host
