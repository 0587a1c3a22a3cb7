#include "host/main_job_events.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <memory>
#include <set>

#include "host/main_job.h"

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
    // Counted per frame: a parent's and its children's outputs share the
    // frame's timestamp, each with its own packets.
    std::map<std::pair<std::string, int64_t>, int> owed;
    for (const RecordedPacket& packet : packets) {
        if (packet.kind == RecordedPacket::Kind::objects && !packet.items.empty())
            ++owed[{packet.deviceId, packet.timestampUs}];
        else if (packet.kind == RecordedPacket::Kind::events)
            --owed[{packet.deviceId, packet.timestampUs}];
    }
    return std::none_of(owed.begin(), owed.end(), [](const auto& frame) { return frame.second > 0; });
}

EventsTable checkRunEvents(const Recorder& recorder, const RunEventFacts& facts) {
    EventsTable table;
    for (size_t c = 0; c < facts.deviceIds.size(); ++c) {
        const std::string& deviceId = facts.deviceIds[c];
        const std::vector<RecordedPacket> packets = recorder.packets(deviceId);
        const std::string parentType = "qz.qzai." + facts.className;
        auto classUnder = [&](const RecordedPacket& packet, const RecordedMetadata& object) {
            const auto frame = facts.frameOfTimestamp.find(packet.timestampUs);
            if (frame == facts.frameOfTimestamp.end()) return std::string("?");
            const Square* best = nullptr;
            double bestIou = 0.0;
            const std::vector<Square> squares = facts.squaresAt(static_cast<int>(c), frame->second);
            for (const Square& square : squares) {
                const double overlap = iou(object.box, double(square.x) / facts.width, double(square.y) / facts.height,
                                           double(square.size) / facts.width, double(square.size) / facts.height);
                if (overlap > bestIou) bestIou = overlap, best = &square;
            }
            return best ? facts.childClass(*best) : std::string("?");
        };
        // Expected descriptions per frame, used up as the events are checked.
        auto countedWant = std::make_shared<std::map<int64_t, std::multiset<std::string>>>();
        auto categoryWant = std::make_shared<std::map<int64_t, std::multiset<std::string>>>();
        size_t objectPackets = 0, parentObjects = 0;
        for (const RecordedPacket& packet : packets) {
            if (packet.kind != RecordedPacket::Kind::objects || packet.items.empty()) continue;
            ++objectPackets;
            const bool parent = !facts.childClass || packet.items.front().typeId == parentType;
            (*countedWant)[packet.timestampUs].insert(
                parent ? "\n" + facts.className + ": " + std::to_string(facts.squaresPerFrame) + "\n"
                       : "\n" + classUnder(packet, packet.items.front()) + ": 1\n");
            if (!facts.childClass || !parent) continue;
            for (const RecordedMetadata& object : packet.items) {
                ++parentObjects;
                (*categoryWant)[packet.timestampUs].insert("\n" + classUnder(packet, object) + "\n");
            }
        }
        // An event whose description is among those still expected of its frame.
        auto useUp = [](std::shared_ptr<std::map<int64_t, std::multiset<std::string>>> want) {
            return [want](const RecordedPacket& packet, const RecordedMetadata& event) {
                const auto frame = want->find(packet.timestampUs);
                if (frame == want->end()) return std::string("on a frame without objects");
                const auto found = frame->second.find(event.description);
                if (found == frame->second.end()) {
                    std::string left;
                    for (const std::string& d : frame->second) left += " '" + oneLine(d) + "'";
                    return "'" + oneLine(event.description) + "' where one of" + left;
                }
                frame->second.erase(found);
                return std::string();
            };
        };
        std::vector<EventExpectation> expected;

        const double span = packetSpanSeconds(packets);
        // The plug-in reports rates at most once a second, from outputs on its
        // own clock: one fewer than the packets' seconds allow for that.
        const size_t reports = secondsWithPackets(packets);
        expected.push_back({"qz.qzai.fps", reports > 0 ? reports - 1 : 0, static_cast<size_t>(std::ceil(span)) + 1,
                            checkRateDescription});
        expected.push_back({"qz.qzai.counted", objectPackets, objectPackets, useUp(countedWant)});
        if (facts.childClass) expected.push_back({"qz.qzai.category", parentObjects, parentObjects, useUp(categoryWant)});

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
        if (facts.moreExpectations) facts.moreExpectations(c, expected);
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

EventsTable awaitRunEvents(const Recorder& recorder, const RunEventFacts& facts, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        const size_t seen = recorder.packets().size();
        EventsTable table = checkRunEvents(recorder, facts);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (table.ok() || left <= std::chrono::milliseconds(0) || !recorder.waitForPackets(seen + 1, left)) return table;
    }
}

}  // namespace qz::test_host
