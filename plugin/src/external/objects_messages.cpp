#include "external/objects_messages.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/object_type_id.h"
#include "external/class_admission.h"
#include "external/processor_config.h"
#include "inference/postprocessing/postprocessing_state.h"
#include "inference/postprocessing/track_matching.h"
#include "inference/video_frame.h"
#include "qz/sdk/analytics/helpers/event_metadata.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr unsigned kAllUuidFlags = 255;

// The warnings of one response, logged after the device mutex is released:
// each kind once, as its first occurrence's line, with the number of
// occurrences when there were more.
class ResponseWarnings {
public:
    ResponseWarnings() = default;
    ResponseWarnings(const ResponseWarnings&) = delete;
    ResponseWarnings& operator=(const ResponseWarnings&) = delete;
    ~ResponseWarnings() {
        for (const Entry& entry : m_entries) {
            if (entry.count == 1) {
                logMessage("%s", entry.line.c_str());
                continue;
            }
            const std::string_view line(entry.line);
            const size_t end = line.ends_with('\n') ? line.size() - 1 : line.size();
            logMessage("%.*s (%zu times in this response)\n", static_cast<int>(end), line.data(), entry.count);
        }
    }
    // Counts one warning of the kind `key` (a fixed text); true when it is
    // the first, whose line the caller then gives with setLine().
    bool first(const char* key) {
        for (Entry& entry : m_entries) {
            if (entry.key == key) {
                ++entry.count;
                return false;
            }
        }
        m_entries.push_back({key, key, 1});
        return true;
    }
    void setLine(std::string line) { m_entries.back().line = std::move(line); }
    void add(const char* text) { first(text); }

private:
    struct Entry {
        const char* key;
        std::string line;
        size_t count;
    };
    std::vector<Entry> m_entries;
};

template <class... Args>
std::string formatLine(const char* format, Args... args) {
    const int size = std::snprintf(nullptr, 0, format, args...);
    std::string line(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (size > 0) std::snprintf(line.data(), line.size() + 1, format, args...);
    return line;
}

void writeObject(MpWriter& writer, const QzAIObjectData_t& object) {
    writer.map(7);
    writer.str("ID");
    writer.str(qz::sdk::uuidToString(object.trackId, kAllUuidFlags));
    writer.str("x");
    writer.f32(object.box.x);
    writer.str("y");
    writer.f32(object.box.y);
    writer.str("width");
    writer.f32(object.box.width);
    writer.str("height");
    writer.f32(object.box.height);
    writer.str("confidence");
    writer.f32(object.confidence);
    writer.str("attributes");
    writer.map(static_cast<uint32_t>(object.attributes.size()));
    for (const auto& attribute : object.attributes) {
        writer.str(attribute->name());
        writer.str(attribute->value());
    }
}

void writeTensors(MpWriter& writer, const TensorSet* output) {
    const uint32_t count = output ? output->count : 0;
    writer.array(count);
    for (uint32_t i = 0; i < count; ++i) {
        const Tensor& tensor = output->tensors[i];
        writer.map(4);
        writer.str("Name");
        writer.str(tensor.name ? tensor.name : "");
        writer.str("DataType");
        writer.u64(tensor.elementType);
        writer.str("Shape");
        writer.array(tensor.rank);
        for (uint32_t d = 0; d < tensor.rank; ++d) writer.i64(tensor.shape[d]);
        writer.str("Data");
        // A bin holds at most 4 GiB - 1; the writer refuses a larger one.
        writer.bin(tensor.data, tensor.byteSize);
    }
}

// The response's identifier text, or nothing (with one warning) when it is
// not an identifier. The null identifier never names a track.
std::optional<qz::sdk::Uuid> readableUuid(std::string_view text, ResponseWarnings& warnings) {
    const qz::sdk::Uuid id = qz::sdk::uuidFromString(text);
    if (!id.isNull()) return id;
    static constexpr const char* kUnreadable = "Warning! Unreadable object id \"%.*s\". Ignoring it.\n";
    if (warnings.first(kUnreadable))
        warnings.setLine(formatLine(kUnreadable, static_cast<int>(std::min<size_t>(text.size(), 64)), text.data()));
    return std::nullopt;
}

bool isNumber(MpType type) { return type == MpType::UInt || type == MpType::Int || type == MpType::Float; }

// Sets or appends each attribute of the entry's map. A changed value goes in
// as a new Attribute, so a snapshot holding the old one keeps it intact.
// False once the reader failed.
bool applyAttributes(MpReader& reader, MpReader::Node map, QzAIObjectData_t& data, ResponseWarnings& warnings) {
    if (reader.type(map) != MpType::Map) return true;
    const uint32_t pairs = reader.mapSize(map);
    for (uint32_t i = 0; i < pairs; ++i) {
        char name[256];
        char value[256];
        if (!reader.copyCString(reader.mapKey(map, i), name, sizeof name) ||
            !reader.copyCString(reader.mapValue(map, i), value, sizeof value)) {
            warnings.add("Warning! Failed to read attribute strings. Skipping.\n");
            if (!reader.ok()) return false;
            continue;
        }
        bool found = false;
        for (auto& attribute : data.attributes) {
            if (std::strcmp(attribute->name(), name) != 0) continue;
            attribute = qz::sdk::makePtr<qz::sdk::Attribute>(name, value, attribute->confidence());
            found = true;
        }
        if (!found) data.attributes.push_back(qz::sdk::makePtr<qz::sdk::Attribute>(name, value, 1.0f));
    }
    return reader.ok();
}

bool removeAttributes(MpReader& reader, MpReader::Node array, QzAIObjectData_t& data, ResponseWarnings& warnings) {
    if (reader.type(array) != MpType::Array) return true;
    const uint32_t count = reader.arraySize(array);
    for (uint32_t i = 0; i < count; ++i) {
        const MpReader::Node element = reader.arrayAt(array, i);
        if (reader.type(element) != MpType::Str) {
            warnings.add("Warning! removeAttributes entry is not a string. Skipping.\n");
            continue;
        }
        const std::string name(reader.str(element));
        std::erase_if(data.attributes, [&](const auto& attribute) { return name == attribute->name(); });
    }
    return reader.ok();
}

struct EntryNumbers {
    float box[4] = {0, 0, 0, 0};
    int boxGiven = 0;
    std::optional<float> confidence;
};

EntryNumbers readNumbers(MpReader& reader, MpReader::Node entry, ResponseWarnings& warnings) {
    static constexpr const char* kBoxKeys[4] = {"x", "y", "width", "height"};
    EntryNumbers numbers;
    for (int k = 0; k < 4; ++k) {
        const MpReader::Node node = reader.findOptional(entry, kBoxKeys[k]);
        if (!node || !isNumber(reader.type(node))) continue;
        numbers.box[k] = static_cast<float>(reader.number(node));
        ++numbers.boxGiven;
    }
    const MpReader::Node confidence = reader.findOptional(entry, "confidence");
    if (confidence && isNumber(reader.type(confidence)))
        numbers.confidence = static_cast<float>(reader.number(confidence));
    if (numbers.boxGiven > 0 && numbers.boxGiven < 4)
        warnings.add("Warning! Object returned with an incomplete bounding box. Ignoring the bounding box.\n");
    return numbers;
}

// Applies one class's entries. False once the reader failed.
bool applyClass(MpReader& reader, MpReader::Node entries, const std::string& className,
                const InferenceInput_t& request, QzAIObjectList& tracked, QzAIObjectList& result,
                ResponseWarnings& warnings) {
    const uint32_t count = reader.arraySize(entries);
    bool created = false;
    for (uint32_t i = 0; i < count && reader.ok(); ++i) {
        const MpReader::Node entry = reader.arrayAt(entries, i);
        const MpReader::Node idNode = reader.findOptional(entry, "ID");
        const MpReader::Node newIdNode = reader.findOptional(entry, "NewID");
        if (!idNode && !newIdNode) {
            warnings.add("Warning! Object returned without ID or NewID. Ignoring.\n");
            continue;
        }
        const EntryNumbers numbers = readNumbers(reader, entry, warnings);
        QzAIObjectPtr object;
        std::optional<qz::sdk::Uuid> rename;
        if (!idNode) {
            if (numbers.boxGiven != 4 || !numbers.confidence) {
                warnings.add("Warning! New object returned without a complete bounding box and confidence. Ignoring.\n");
                continue;
            }
            const std::string_view newId = reader.str(newIdNode);
            if (!reader.ok()) return false;
            std::optional<qz::sdk::Uuid> id;
            if (!newId.empty()) id = readableUuid(newId, warnings);
            QzAIObjectData_t data;
            data.firstSeenUs = request.timestampUs;
            data.lastSeenUs = request.timestampUs;
            data.trackId = id ? *id : qz::sdk::randomUuid();
            data.typeId = toObjectTypeId(className);
            data.box = {-1.0f, -1.0f, -1.0f, -1.0f};
            object = std::make_shared<QzAIObject_t>(std::move(data));
            tracked.push_back(object);
            created = true;
        } else {
            const std::string idText(reader.str(idNode));
            if (!reader.ok()) return false;
            const qz::sdk::Uuid id = qz::sdk::uuidFromString(idText);
            if (!id.isNull()) {
                for (const QzAIObjectPtr& candidate : tracked) {
                    std::lock_guard<std::mutex> lock(candidate->mutex);
                    if (candidate->data.trackId == id) {
                        object = candidate;
                        break;
                    }
                }
                if (!object && request.sourceObject && request.sourceObject->snapshot().trackId == id)
                    object = request.sourceObject;
            }
            if (!object) {
                static constexpr const char* kNotFound = "Warning! Could not find object ID: %s in class %s. Ignoring.\n";
                if (warnings.first(kNotFound))
                    warnings.setLine(formatLine(kNotFound, idText.substr(0, 64).c_str(), className.substr(0, 256).c_str()));
                continue;
            }
            if (newIdNode) {
                const std::string_view newId = reader.str(newIdNode);
                if (!reader.ok()) return false;
                rename = readableUuid(newId, warnings);
            }
        }

        const MpReader::Node skip = reader.findOptional(entry, "skipFeatureExtraction");
        const bool skipFeatureExtraction = skip ? reader.boolean(skip) : false;
        bool readable = reader.ok();
        {
            std::lock_guard<std::mutex> lock(object->mutex);
            QzAIObjectData_t& data = object->data;
            if (rename) data.trackId = *rename;
            data.lastSeenUs = request.timestampUs;
            if (numbers.boxGiven == 4) data.box = {numbers.box[0], numbers.box[1], numbers.box[2], numbers.box[3]};
            if (numbers.confidence) data.confidence = *numbers.confidence;
            data.skipFeatureExtraction = skipFeatureExtraction;
            if (readable) readable = applyAttributes(reader, reader.findOptional(entry, "attributes"), data, warnings);
            if (readable)
                readable = removeAttributes(reader, reader.findOptional(entry, "removeAttributes"), data, warnings);
        }
        result.push_back(object);
        if (!readable) break;
    }
    // New objects join the tracked list; the tracker's cut keeps it bounded
    // even for a class the model never detects.
    if (created) cutTrackList(tracked, TrackMatchingLimits{});
    return reader.ok();
}

void applyEvents(MpReader& reader, MpReader::Node events, PostprocessingResult& result, ResponseWarnings& warnings) {
    if (reader.type(events) == MpType::Nil) return;
    const uint32_t count = reader.arraySize(events);
    for (uint32_t i = 0; i < count && reader.ok(); ++i) {
        const MpReader::Node element = reader.arrayAt(events, i);
        auto event = qz::sdk::analytics::createEventMetadata();
        const MpReader::Node id = reader.find(element, "ID");
        const MpReader::Node description = reader.find(element, "Description");
        if (!reader.ok() || reader.type(id) != MpType::Str || reader.type(description) != MpType::Str) {
            warnings.add("Warning! Event missing required string fields. Skipping.\n");
            continue;
        }
        event->setTypeId(std::string(reader.str(id)));
        event->setDescription(std::string(reader.str(description)));
        result.events.push_back(event);
    }
}

void applyBestShots(MpReader& reader, MpReader::Node shots, PostprocessingResult& result,
                    ResponseWarnings& warnings) {
    if (!shots || reader.type(shots) == MpType::Nil) return;
    const uint32_t count = reader.arraySize(shots);
    for (uint32_t i = 0; i < count && reader.ok(); ++i) {
        const MpReader::Node element = reader.arrayAt(shots, i);
        const MpReader::Node trackId = reader.findOptional(element, "TrackId");
        if (!trackId || reader.type(trackId) != MpType::Str) {
            warnings.add("Warning! BestShots entry missing or invalid TrackId. Skipping.\n");
            continue;
        }
        const std::optional<qz::sdk::Uuid> id = readableUuid(reader.str(trackId), warnings);
        if (!id) continue;
        BestShotRequest shot;
        shot.trackId = *id;
        const MpReader::Node box = reader.findOptional(element, "BoundingBox");
        if (box && reader.type(box) != MpType::Nil) {
            shot.box.x = static_cast<float>(reader.number(reader.find(box, "x")));
            shot.box.y = static_cast<float>(reader.number(reader.find(box, "y")));
            shot.box.width = static_cast<float>(reader.number(reader.find(box, "width")));
            shot.box.height = static_cast<float>(reader.number(reader.find(box, "height")));
            shot.hasBox = 1;
        }
        if (!reader.ok()) break;
        result.bestShots.push_back(shot);
    }
}

}  // namespace

std::optional<MessageBuffer> serializePostprocessorRequest(const InferenceInput_t& request,
                                                           const ObjectsByClass& objects, const EventList& events,
                                                           const ExternalPostprocessor_t& processor,
                                                           const TensorSet* output) {
    const std::map<std::string, std::string>* settings = request.stage ? &request.stage->postprocessorSettings : nullptr;
    const bool withSource = request.sourceObject != nullptr;
    const bool withSettings = settings && !settings->empty();
    // Without a frame the image cannot be sent; the request then leaves it out.
    const bool withImage = processor.receiveInputImage && request.frame != nullptr;
    const bool withTensors = processor.receiveBinaryData;

    MpWriter writer;
    writer.map(5 + withSource + withSettings + withImage + withTensors);
    writer.str("Timestamp");
    writer.i64(request.timestampUs);
    writer.str("DeviceID");
    writer.str(request.details ? request.details->deviceId : std::string());
    writer.str("DeviceName");
    writer.str(request.details ? request.details->deviceName : std::string());
    writer.str("Objects");
    writer.map(static_cast<uint32_t>(objects.size()));
    for (const auto& [className, list] : objects) {
        logInfo("Writing class %s with length %zu to postprocessor...\n", className.c_str(), list.size());
        writer.str(className);
        writer.array(static_cast<uint32_t>(list.size()));
        for (const QzAIObjectPtr& object : list) writeObject(writer, object->snapshot());
    }
    writer.str("Events");
    writer.array(static_cast<uint32_t>(events.size()));
    for (const EventPtr& event : events) {
        writer.map(2);
        writer.str("ID");
        writer.str(event->typeId());
        writer.str("Description");
        writer.str(event->description());
    }
    if (withSource) {
        writer.str("OriginalObjectID");
        writer.str(qz::sdk::uuidToString(request.sourceObject->snapshot().trackId, kAllUuidFlags));
    }
    if (withSettings) {
        writer.str("UserSettings");
        writer.map(static_cast<uint32_t>(settings->size()));
        for (const auto& [key, value] : *settings) {
            writer.str(key);
            writer.str(value);
        }
    }
    if (withImage) {
        const VideoFrame& frame = *request.frame;
        writer.str("ImageData");
        writer.map(4);
        writer.str("Height");
        writer.u64(static_cast<uint64_t>(std::max<int64_t>(frame.height(), 0)));
        writer.str("Width");
        writer.u64(static_cast<uint64_t>(std::max<int64_t>(frame.width(), 0)));
        writer.str("Layout");
        writer.i64(frame.format());
        writer.str("Data");
        writer.bin(frame.data().data(), frame.data().size());
    }
    if (withTensors) {
        writer.str("Tensors");
        writeTensors(writer, output);
    }
    std::optional<MessageBuffer> message = writer.finish();
    if (!message) logMessage("Error: Failed to serialize objects for postprocessor\n");
    return message;
}

PostprocessingResult deserializePostprocessorResponse(PostprocessingState& state, const InferenceInput_t& request,
                                                      std::span<const uint8_t> bytes) {
    PostprocessingResult result;
    MpReader reader(bytes);
    if (reader.parseFailed()) {
        logMessage("Error: failed to parse incoming msgpack response\n");
        return result;
    }
    const std::string deviceId = request.details ? request.details->deviceId : std::string();
    const std::shared_ptr<DeviceTracks_t> device = state.findDeviceTracks(deviceId);
    if (!device) {
        logMessage("Warning! Device %s not found in cache during deserialization.\n", deviceId.c_str());
        return result;
    }
    ResponseWarnings warnings;  // logged when it goes, after the device mutex
    std::lock_guard<std::mutex> deviceLock(device->mutex);
    const MpReader::Node root = reader.root();
    const MpReader::Node classes = reader.find(root, "Objects");
    if (reader.ok() && reader.type(classes) != MpType::Nil) {
        const uint32_t pairs = reader.mapSize(classes);
        ClassAdmission admission(request, device->classes);
        for (uint32_t i = 0; i < pairs && reader.ok(); ++i) {
            const MpReader::Node key = reader.mapKey(classes, i);
            if (reader.type(key) != MpType::Str) {
                warnings.add("Warning! Class key is not a string. Skipping.\n");
                continue;
            }
            const std::string className(reader.str(key));
            if (!admission.admit(className)) {
                static constexpr const char* kRefused =
                    "Warning! Class %s is not a class of the model or the processor, and device %s already has %zu "
                    "other classes. Ignoring it.\n";
                if (warnings.first(kRefused))
                    warnings.setLine(formatLine(kRefused, className.substr(0, 256).c_str(), deviceId.c_str(),
                                                ClassAdmission::kMaxOtherClasses));
                continue;
            }
            const auto [tracked, added] = device->classes.try_emplace(className);
            QzAIObjectList& listed = result.objects[className];
            applyClass(reader, reader.mapValue(classes, i), className, request, tracked->second, listed, warnings);
            // A class that got no object holds no memory for later.
            if (added && tracked->second.empty()) device->classes.erase(tracked);
        }
    }
    if (reader.ok()) {
        const MpReader::Node events = reader.find(root, "Events");
        if (reader.ok()) applyEvents(reader, events, result, warnings);
    }
    if (reader.ok()) applyBestShots(reader, reader.findOptional(root, "BestShots"), result, warnings);
    if (!reader.ok()) warnings.add("Warning: Could not properly destroy mpack tree in deserialization\n");
    return result;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
