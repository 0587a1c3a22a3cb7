#include "host/frame_pacer.h"

#include <algorithm>
#include <fstream>
#include <map>

namespace qz::test_host {

namespace {

using Clock = std::chrono::steady_clock;

// What sendInputMessage writes when it refuses a frame.
constexpr const char* kRefusals[] = {
    "Tried sending message to inference engine",
    "Engine not ready for input",
    "Input processing queue is full",
    "Rejecting input: engine is being reconfigured",
    "Could not preprocess frame",
};

bool isRefusal(const std::string& line) {
    return std::any_of(std::begin(kRefusals), std::end(kRefusals),
                       [&](const char* text) { return line.find(text) != std::string::npos; });
}

}  // namespace

IntakeRefusals::IntakeRefusals(std::string logDirectory) {
    m_start.path = logDirectory + "/qzai_plugin_start.log";
    m_main.path = logDirectory + "/qzai_plugin.log";
    read(m_start);  // lines already written are not this object's
    read(m_main);
    m_count = 0;
}

void IntakeRefusals::read(Tail& tail) {
    std::ifstream in(tail.path, std::ios::binary);
    if (!in) return;
    in.seekg(0, std::ios::end);
    const auto size = static_cast<uint64_t>(in.tellg());
    if (size < tail.offset) tail.offset = 0, tail.partial.clear();  // rotated: a fresh file
    if (size == tail.offset) return;
    in.seekg(static_cast<std::streamoff>(tail.offset));
    std::string text(size - tail.offset, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    tail.offset += text.size();
    text.insert(0, tail.partial);
    size_t begin = 0;
    for (size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1) {
        if (isRefusal(text.substr(begin, end - begin))) ++m_count;
    }
    tail.partial = text.substr(begin);
}

size_t IntakeRefusals::count() {
    read(m_start);
    read(m_main);
    return m_count;
}

std::vector<PacedCamera> paceFrames(Recorder& recorder, IntakeRefusals& refusals, const PacerScript& script) {
    struct InFlight {
        bool waiting = false;
        int64_t timestampUs = 0;
        Clock::time_point pushedAt;
        bool arrived = false;
    };
    const size_t cameras = script.deviceIds.size();
    std::vector<PacedCamera> result(cameras);
    std::vector<InFlight> flight(cameras);
    std::vector<int> next(cameras, script.firstFrame);
    std::map<std::string, size_t> indexOf;
    for (size_t c = 0; c < cameras; ++c) indexOf[script.deviceIds[c]] = c;
    const int end = script.firstFrame + script.frames;
    size_t seen = recorder.packets().size();  // packets before the run are not looked at

    // The cameras ask in the order of their last admitted frame, the longest
    // ago first: a camera whose frame is taken goes to the back, a refused
    // one keeps its place. While frames are in flight, a refusal ends the
    // round: the plug-in is full, and the cameras behind would only be
    // refused too, or be let in by a slot that freed while the round went
    // on, ahead of the camera refused first. So each slot that frees goes to
    // the camera that has waited longest and the refusals spread evenly; a
    // fixed order, or one that only rotates, hands the room to whichever
    // cameras ask late in the round and the refusals to the others.
    std::vector<size_t> order(cameras);
    for (size_t c = 0; c < cameras; ++c) order[c] = c;
    for (;;) {
        bool anyLeft = false;
        bool full = false;
        size_t inFlight = 0;
        for (const InFlight& f : flight) inFlight += f.waiting;
        // The next round's order: the cameras not admitted in this one keep
        // theirs, ahead of those admitted.
        std::vector<size_t> kept;
        std::vector<size_t> admitted;
        for (const size_t c : order) {
            if (flight[c].waiting || next[c] >= end || full) {
                anyLeft = anyLeft || flight[c].waiting || (full && next[c] < end);
                kept.push_back(c);
                continue;
            }
            anyLeft = true;
            const int frame = next[c]++;
            const size_t before = refusals.count();
            const int64_t timestampUs = script.push(static_cast<int>(c), frame);
            ++result[c].pushed;
            if (refusals.count() != before) {
                ++result[c].refused;
                kept.push_back(c);
                full = inFlight > 0;
                continue;
            }
            admitted.push_back(c);
            if (!script.expectsPacket(static_cast<int>(c), frame)) {
                ++result[c].notExpected;
            } else {
                flight[c] = {true, timestampUs, Clock::now(), false};
                ++inFlight;
            }
        }
        if (!anyLeft) break;
        order = std::move(kept);
        order.insert(order.end(), admitted.begin(), admitted.end());

        // Wait for a packet of a frame in flight, up to the oldest frame's
        // deadline (or one period when only refused cameras remain).
        auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(script.period);
        if (inFlight) {
            Clock::time_point oldest = Clock::time_point::max();
            for (const InFlight& f : flight)
                if (f.waiting) oldest = std::min(oldest, f.pushedAt);
            timeout = std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(
                                                                 oldest + script.lostAfter - Clock::now()));
        }
        recorder.waitUntil(
            [&](const std::vector<RecordedPacket>& packets) {
                bool any = false;
                for (; seen < packets.size(); ++seen) {
                    const RecordedPacket& packet = packets[seen];
                    if (packet.kind != RecordedPacket::Kind::objects) continue;
                    const auto it = indexOf.find(packet.deviceId);
                    if (it == indexOf.end()) continue;
                    InFlight& f = flight[it->second];
                    if (f.waiting && packet.timestampUs == f.timestampUs) f.arrived = any = true;
                }
                return any;
            },
            timeout);
        const auto now = Clock::now();
        for (size_t c = 0; c < cameras; ++c) {
            InFlight& f = flight[c];
            if (!f.waiting) continue;
            if (f.arrived) {
                ++result[c].delivered;
                f = {};
            } else if (now - f.pushedAt >= script.lostAfter) {
                ++result[c].lost;
                f = {};
            }
        }
    }
    return result;
}

}  // namespace qz::test_host
