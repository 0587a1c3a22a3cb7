// EventsTable: what the main job checks of the events a camera received:
// per camera and event type id, the number of events got against the number
// expected, and how many of them carry a wrong value.
//
// The job states its expectations per camera (a count range and a check of
// each event); every event type a camera received without an expectation is
// a row expecting none. Plain data; building and printing take no locks.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "host/recorder.h"

namespace qz::test_host {

struct EventExpectation {
    std::string typeId;
    size_t minCount = 0;
    size_t maxCount = 0;
    // "" when the event (of the packet) is right, else what is wrong.
    std::function<std::string(const RecordedPacket&, const RecordedMetadata&)> check;
};

struct EventsRow {
    std::string deviceId;
    std::string typeId;
    size_t got = 0;
    size_t minCount = 0;
    size_t maxCount = 0;
    size_t wrongValues = 0;
    std::string firstWrong;  // the first complaint, for the summary

    bool ok() const { return got >= minCount && got <= maxCount && wrongValues == 0; }
};

struct EventsTable {
    std::vector<EventsRow> rows;
    std::vector<std::string> notes;  // extra lines for the summary (e.g. final totals)

    bool ok() const;
    // Adds the rows of one camera from its recorded packets.
    void addCamera(const std::string& deviceId, const std::vector<RecordedPacket>& packets,
                   const std::vector<EventExpectation>& expectations);
    void print(FILE* out) const;
};

// The rate event's check: the "\nDevice throughput: A / B Inferences/s\n
// Server throughput: C / D Inferences/s\n" layout with integer rates.
std::string checkRateDescription(const RecordedPacket& packet, const RecordedMetadata& event);

// Seconds between the first and the last packet of a camera on the host's
// steady clock (0 with fewer than two packets).
double packetSpanSeconds(const std::vector<RecordedPacket>& packets);

// How many reports a once-a-second reporter fed by these packets makes at
// least: the packets taken greedily, each at least a second after the last
// one taken. Smaller than the span when the road paused (a loaded machine).
size_t secondsWithPackets(const std::vector<RecordedPacket>& packets);

}  // namespace qz::test_host
