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

        // The engine gives a camera's first output rates and then the first
        // output at least a second after the last one: at most ceil(T) + 1
        // over T seconds, and at least floor(T) while outputs come much
        // faster than once a second; a slow machine stretches each interval
        // by up to the longest gap between outputs.
        const double span = packetSpanSeconds(packets);
        const double gap = longestPacketGapSeconds(packets);
        expected.push_back({"qz.qzai.fps", static_cast<size_t>(std::floor(span / (1.0 + gap))),
                            static_cast<size_t>(std::ceil(span)) + 1, checkRateDescription});

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

        // The line rule replayed in arrival order: each output's object
        // packet comes before its events packet, so every line-crossing event
        // must carry the totals of the sightings that arrived before it.
        std::map<const RecordedMetadata*, std::string> crossingWant;
        std::string finalWant = "none";
        if (facts.rules) {
            CrossingCounter counter(*facts.rules, static_cast<int>(c));
            std::set<int64_t> outputsSinceFirst;
            for (const RecordedPacket& packet : packets) {
                const auto frame = facts.frameOfTimestamp.find(packet.timestampUs);
                if (packet.kind == RecordedPacket::Kind::objects && !packet.items.empty() &&
                    frame != facts.frameOfTimestamp.end())
                    counter.see(packet.timestampUs, frame->second);
                if (!counter.any()) continue;
                outputsSinceFirst.insert(packet.timestampUs);
                finalWant = totalsText(counter.totals());
                for (const RecordedMetadata& event : packet.items) crossingWant[&event] = finalWant;
            }
            const size_t frames = outputsSinceFirst.size();
            expected.push_back({"qz.qzai.linecrossing", frames, frames,
                                [&crossingWant](const RecordedPacket&, const RecordedMetadata& event) {
                                    const auto want = crossingWant.find(&event);
                                    if (want == crossingWant.end()) return std::string("before any crossing");
                                    if (event.description != want->second || event.caption != "Line crossing detected")
                                        return "'" + oneLine(event.description) + "' where '" + oneLine(want->second) + "'";
                                    return std::string();
                                }});
        }
        table.addCamera(deviceId, packets, expected);

        if (facts.rules) {
            std::string got = "none";
            int64_t last = INT64_MIN;
            for (const RecordedPacket& packet : packets)
                for (const RecordedMetadata& event : packet.items)
                    if (event.typeId == "qz.qzai.linecrossing" && packet.timestampUs >= last)
                        last = packet.timestampUs, got = oneLine(event.description);
            table.notes.push_back(deviceId + " line crossings, final totals: got " + got + " / expected " +
                                  oneLine(finalWant));
        }
    }
    return table;
}

}  // namespace qz::test_host
