// Recorder: everything the plug-in hands the test host (packets, manifests,
// diagnostic events), copied into plain records as it arrives, so nothing of
// the plug-in library is kept (the library can be unloaded while the records
// are read). Thread-safe; the wait helpers block up to a timeout.
//
// EngineHandler and DeviceAgentHandler are the handlers the host sets on the
// engine and on each device agent; they feed one Recorder.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "qz/sdk/helpers/ref_countable.h"

namespace qz::test_host {

struct RecordedMetadata {
    std::string typeId;
    float confidence = 0.0f;
    qz::sdk::analytics::Rect box;
    std::vector<std::pair<std::string, std::string>> attributes;
    // Objects:
    qz::sdk::Uuid trackId;
    // Events:
    std::string caption;
    std::string description;
    bool isActive = false;
};

struct RecordedPacket {
    enum class Kind { objects, events, bestShot, other };
    Kind kind = Kind::other;
    std::string deviceId;
    int64_t timestampUs = 0;
    int64_t durationUs = 0;
    std::vector<RecordedMetadata> items;  // objects or events
    qz::sdk::Uuid trackId;                // best shot
    qz::sdk::analytics::Rect box;         // best shot
    std::chrono::steady_clock::time_point receivedAt;  // on the host's clock
};

struct RecordedManifest {
    std::string source;  // "engine" or the device id
    std::string text;
};

struct RecordedDiagnosticEvent {
    std::string source;
    qz::sdk::IIntegrationDiagnosticEvent::Level level{};
    std::string caption;
    std::string description;
};

class Recorder {
public:
    void addPacket(const std::string& deviceId, qz::sdk::analytics::IMetadataPacket* packet);
    void addManifest(const std::string& source, const qz::sdk::IString* manifest);
    void addDiagnosticEvent(const std::string& source, const qz::sdk::IIntegrationDiagnosticEvent* event);

    std::vector<RecordedPacket> packets() const;
    std::vector<RecordedPacket> packets(const std::string& deviceId) const;
    std::vector<RecordedManifest> manifests() const;
    std::vector<RecordedDiagnosticEvent> diagnosticEvents() const;

    bool waitForPackets(size_t count, std::chrono::milliseconds timeout) const;
    // Waits until `done` holds for the packets recorded so far (called under
    // the recorder's lock, so it must not call back into the recorder).
    bool waitUntil(const std::function<bool(const std::vector<RecordedPacket>&)>& done,
                   std::chrono::milliseconds timeout) const;
    bool waitForManifests(size_t count, std::chrono::milliseconds timeout) const;
    void clear();

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<RecordedPacket> m_packets;
    std::vector<RecordedManifest> m_manifests;
    std::vector<RecordedDiagnosticEvent> m_events;
};

class EngineHandler final : public qz::sdk::RefCountable<qz::sdk::analytics::IEngineHandler> {
public:
    explicit EngineHandler(std::shared_ptr<Recorder> recorder) : m_recorder(std::move(recorder)) {}
    void handleIntegrationDiagnosticEvent(const qz::sdk::IIntegrationDiagnosticEvent* event) override;
    void pushManifest(const qz::sdk::IString* manifest) override;

private:
    const std::shared_ptr<Recorder> m_recorder;
};

class DeviceAgentHandler final : public qz::sdk::RefCountable<qz::sdk::analytics::IDeviceAgentHandler> {
public:
    DeviceAgentHandler(std::string deviceId, std::shared_ptr<Recorder> recorder)
        : m_deviceId(std::move(deviceId)), m_recorder(std::move(recorder)) {}
    void handleMetadata(qz::sdk::analytics::IMetadataPacket* packet) override;
    void handleIntegrationDiagnosticEvent(const qz::sdk::IIntegrationDiagnosticEvent* event) override;
    void pushManifest(const qz::sdk::IString* manifest) override;

private:
    const std::string m_deviceId;
    const std::shared_ptr<Recorder> m_recorder;
};

}  // namespace qz::test_host
