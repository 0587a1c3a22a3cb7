#include "host/recorder.h"

#include <cstdio>

namespace qz::test_host {

using namespace qz::sdk;
using namespace qz::sdk::analytics;

namespace {

std::string text(const char* value) { return value ? value : ""; }

void copyMetadata(const IMetadata& metadata, RecordedMetadata* out) {
    out->typeId = text(metadata.typeId());
    out->confidence = metadata.confidence();
    for (int i = 0; i < metadata.attributeCount(); ++i) {
        Ptr<const IAttribute> attribute(metadata.attribute(i));
        if (attribute) out->attributes.emplace_back(text(attribute->name()), text(attribute->value()));
    }
}

template <class PacketInterface, class Copy>
void copyItems(const PacketInterface& packet, RecordedPacket* out, Copy&& copy) {
    for (int i = 0; i < packet.count(); ++i) {
        auto item = Ptr<std::remove_pointer_t<decltype(packet.at(i))>>(packet.at(i));
        if (!item) continue;
        RecordedMetadata record;
        copyMetadata(*item, &record);
        copy(*item, &record);
        out->items.push_back(std::move(record));
    }
}

}  // namespace

void Recorder::addPacket(const std::string& deviceId, IMetadataPacket* packet) {
    if (!packet) {
        std::fprintf(stderr, "[test host] null metadata packet from %s\n", deviceId.c_str());
        return;
    }
    RecordedPacket record;
    record.deviceId = deviceId;
    record.timestampUs = packet->timestampUs();
    record.durationUs = packet->durationUs();
    record.receivedAt = std::chrono::steady_clock::now();
    if (auto objects = queryInterfacePtr<IObjectMetadataPacket>(packet)) {
        record.kind = RecordedPacket::Kind::objects;
        copyItems(*objects, &record, [](const IObjectMetadata& object, RecordedMetadata* out) {
            out->trackId = object.trackId();
            out->box = object.boundingBox();
        });
    } else if (auto events = queryInterfacePtr<IEventMetadataPacket>(packet)) {
        record.kind = RecordedPacket::Kind::events;
        copyItems(*events, &record, [](const IEventMetadata& event, RecordedMetadata* out) {
            out->caption = text(event.caption());
            out->description = text(event.description());
            out->isActive = event.isActive();
            out->box = event.boundingBox();
        });
    } else if (auto bestShot = queryInterfacePtr<IObjectTrackBestShotPacket>(packet)) {
        record.kind = RecordedPacket::Kind::bestShot;
        record.trackId = bestShot->trackId();
        record.box = bestShot->boundingBox();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_packets.push_back(std::move(record));
    m_changed.notify_all();
}

void Recorder::addManifest(const std::string& source, const IString* manifest) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_manifests.push_back({source, manifest ? text(manifest->str()) : ""});
    m_changed.notify_all();
}

void Recorder::addDiagnosticEvent(const std::string& source, const IIntegrationDiagnosticEvent* event) {
    if (!event) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back({source, event->level(), text(event->caption()), text(event->description())});
    m_changed.notify_all();
}

std::vector<RecordedPacket> Recorder::packets() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_packets;
}

std::vector<RecordedPacket> Recorder::packets(const std::string& deviceId) const {
    std::vector<RecordedPacket> result;
    for (auto& packet : packets())
        if (packet.deviceId == deviceId) result.push_back(std::move(packet));
    return result;
}

std::vector<RecordedManifest> Recorder::manifests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_manifests;
}

std::vector<RecordedDiagnosticEvent> Recorder::diagnosticEvents() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

bool Recorder::waitForPackets(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_packets.size() >= count; });
}

bool Recorder::waitUntil(const std::function<bool(const std::vector<RecordedPacket>&)>& done,
                         std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return done(m_packets); });
}

bool Recorder::waitForManifests(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_manifests.size() >= count; });
}

void Recorder::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_packets.clear();
    m_manifests.clear();
    m_events.clear();
}

void EngineHandler::handleIntegrationDiagnosticEvent(const IIntegrationDiagnosticEvent* event) {
    m_recorder->addDiagnosticEvent("engine", event);
}

void EngineHandler::pushManifest(const IString* manifest) { m_recorder->addManifest("engine", manifest); }

void DeviceAgentHandler::handleMetadata(IMetadataPacket* packet) { m_recorder->addPacket(m_deviceId, packet); }

void DeviceAgentHandler::handleIntegrationDiagnosticEvent(const IIntegrationDiagnosticEvent* event) {
    m_recorder->addDiagnosticEvent(m_deviceId, event);
}

void DeviceAgentHandler::pushManifest(const IString* manifest) { m_recorder->addManifest(m_deviceId, manifest); }

}  // namespace qz::test_host
