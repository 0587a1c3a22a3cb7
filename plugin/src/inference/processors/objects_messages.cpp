#include "inference/processors/objects_messages.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/object_type_id.h"
#include "inference/postprocessing/class_admission.h"
#include "external/processor_config.h"
#include "inference/postprocessing/track_id_index.h"
#include "inference/postprocessing/postprocessing_state.h"
#include "inference/postprocessing/track_matching.h"
#include "inference/video_frame.h"
#include "qz/sdk/analytics/helpers/event_metadata.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr unsigned kAllUuidFlags = 255;

// An answer's object entries (all classes together), events and best shots
// beyond this many of each are dropped: a frame shows no more than this from
// one answer, and no answer costs more to apply.
constexpr size_t kMaxAnswerEntries = 4096;
// Attributes an object may carry from answers: further new names are dropped,
// so that an object a processor keeps alive does not grow without end.
constexpr size_t kMaxAnswerAttributes = 64;

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

struct EntryNumbers {
    float box[4] = {0, 0, 0, 0};
    int boxGiven = 0;
    std::optional<float> confidence;
};

// One object entry of an answer as read; texts point into the reader.
struct ObjectEdit {
    std::optional<std::string_view> id;     // "ID": an existing object; absent: a new one
    std::optional<std::string_view> newId;  // "NewID"
    EntryNumbers numbers;
    bool skipFeatureExtraction = false;
    std::vector<std::pair<std::string, std::string>> attributes;  // to set, in order
    std::vector<std::string_view> removals;                       // attribute names to remove
};

struct ClassEdit {
    std::string name;
    std::vector<ObjectEdit> objects;
};

// What an answer's "Objects" asks for, read before the device mutex is taken.
struct ObjectsEdit {
    std::vector<ClassEdit> classes;
    size_t entriesLeft = kMaxAnswerEntries;  // entries naming an object still to be read
    size_t dropped = 0;                      // entries left unread beyond them
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

// Reads the attributes to set and the names to remove. False once the
// reader failed; what was read before stays in `edit`.
bool readAttributes(MpReader& reader, MpReader::Node entry, ObjectEdit& edit, ResponseWarnings& warnings) {
    const MpReader::Node map = reader.findOptional(entry, "attributes");
    if (map && reader.type(map) == MpType::Map) {
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
            edit.attributes.emplace_back(name, value);
        }
    }
    const MpReader::Node array = reader.findOptional(entry, "removeAttributes");
    if (array && reader.type(array) == MpType::Array) {
        const uint32_t count = reader.arraySize(array);
        for (uint32_t i = 0; i < count; ++i) {
            const MpReader::Node element = reader.arrayAt(array, i);
            if (reader.type(element) != MpType::Str) {
                warnings.add("Warning! removeAttributes entry is not a string. Skipping.\n");
                continue;
            }
            edit.removals.push_back(reader.str(element));
        }
    }
    return reader.ok();
}

// Reads one class's entries into `edit`, within the answer's budget of
// entries that name an object (ignored ones cost only their reading). False
// once the reader failed; the entry it failed in is kept when it names its
// object, as far as it was read.
bool readClass(MpReader& reader, MpReader::Node entries, ClassEdit& edit, ObjectsEdit& answer,
               ResponseWarnings& warnings) {
    const uint32_t count = reader.arraySize(entries);
    for (uint32_t i = 0; i < count && reader.ok(); ++i) {
        if (answer.entriesLeft == 0) {
            answer.dropped += count - i;
            break;
        }
        const MpReader::Node entry = reader.arrayAt(entries, i);
        const MpReader::Node idNode = reader.findOptional(entry, "ID");
        const MpReader::Node newIdNode = reader.findOptional(entry, "NewID");
        if (!idNode && !newIdNode) {
            warnings.add("Warning! Object returned without ID or NewID. Ignoring.\n");
            continue;
        }
        ObjectEdit object;
        object.numbers = readNumbers(reader, entry, warnings);
        if (!idNode && (object.numbers.boxGiven != 4 || !object.numbers.confidence)) {
            warnings.add("Warning! New object returned without a complete bounding box and confidence. Ignoring.\n");
            continue;
        }
        if (idNode) object.id = reader.str(idNode);
        if (newIdNode) object.newId = reader.str(newIdNode);
        if (!reader.ok()) return false;
        const MpReader::Node skip = reader.findOptional(entry, "skipFeatureExtraction");
        object.skipFeatureExtraction = skip ? reader.boolean(skip) : false;
        if (reader.ok()) readAttributes(reader, entry, object, warnings);
        edit.objects.push_back(std::move(object));
        --answer.entriesLeft;
    }
    return reader.ok();
}

// Sets or appends each attribute, then removes the named ones. A changed
// value goes in as a new Attribute, so a snapshot holding the old one keeps
// it intact.
void applyAttributes(const ObjectEdit& edit, QzAIObjectData_t& data, ResponseWarnings& warnings) {
    for (const auto& [name, value] : edit.attributes) {
        bool found = false;
        for (auto& attribute : data.attributes) {
            if (name != attribute->name()) continue;
            attribute = qz::sdk::makePtr<qz::sdk::Attribute>(name, value, attribute->confidence());
            found = true;
        }
        if (found) continue;
        if (data.attributes.size() >= kMaxAnswerAttributes) {
            static constexpr const char* kFull = "Warning! Object already has %zu attributes. Dropping attribute %s.\n";
            if (warnings.first(kFull)) warnings.setLine(formatLine(kFull, kMaxAnswerAttributes, name.c_str()));
            continue;
        }
        data.attributes.push_back(qz::sdk::makePtr<qz::sdk::Attribute>(name, value, 1.0f));
    }
    for (const std::string_view name : edit.removals)
        std::erase_if(data.attributes, [&](const auto& attribute) { return name == attribute->name(); });
}

qz::sdk::Uuid trackIdOf(const QzAIObject_t& object) {
    std::lock_guard<std::mutex> lock(object.mutex);
    return object.data.trackId;
}

// Applies one class's entries to its tracked list; the caller holds the
// device mutex. Ids are looked up through an index built at the first entry
// that names one, so each entry costs the same however many came before.
void applyClass(const ClassEdit& edit, const InferenceInput_t& request, QzAIObjectList& tracked,
                QzAIObjectList& result, ResponseWarnings& warnings) {
    std::optional<TrackIdIndex> index;
    bool created = false;
    for (const ObjectEdit& entry : edit.objects) {
        QzAIObjectPtr object;
        std::optional<size_t> position;
        std::optional<qz::sdk::Uuid> rename;
        if (!entry.id) {
            std::optional<qz::sdk::Uuid> id;
            if (!entry.newId->empty()) id = readableUuid(*entry.newId, warnings);
            QzAIObjectData_t data;
            data.firstSeenUs = request.timestampUs;
            data.lastSeenUs = request.timestampUs;
            data.trackId = id ? *id : qz::sdk::randomUuid();
            data.typeId = toObjectTypeId(edit.name);
            data.box = {-1.0f, -1.0f, -1.0f, -1.0f};
            if (index) index->appended(data.trackId, tracked.size());
            object = std::make_shared<QzAIObject_t>(std::move(data));
            tracked.push_back(object);
            created = true;
        } else {
            const qz::sdk::Uuid id = qz::sdk::uuidFromString(*entry.id);
            if (!id.isNull()) {
                if (!index) index.emplace(tracked);
                position = index->find(id);
                if (position) object = tracked[*position];
                else if (request.sourceObject && trackIdOf(*request.sourceObject) == id) object = request.sourceObject;
            }
            if (!object) {
                static constexpr const char* kNotFound = "Warning! Could not find object ID: %s in class %s. Ignoring.\n";
                if (warnings.first(kNotFound))
                    warnings.setLine(formatLine(kNotFound, std::string(entry.id->substr(0, 64)).c_str(),
                                                edit.name.substr(0, 256).c_str()));
                continue;
            }
            if (entry.newId) rename = readableUuid(*entry.newId, warnings);
        }

        qz::sdk::Uuid previousId;
        {
            std::lock_guard<std::mutex> lock(object->mutex);
            QzAIObjectData_t& data = object->data;
            previousId = data.trackId;
            if (rename) data.trackId = *rename;
            data.lastSeenUs = request.timestampUs;
            const EntryNumbers& numbers = entry.numbers;
            if (numbers.boxGiven == 4) data.box = {numbers.box[0], numbers.box[1], numbers.box[2], numbers.box[3]};
            if (numbers.confidence) data.confidence = *numbers.confidence;
            data.skipFeatureExtraction = entry.skipFeatureExtraction;
            applyAttributes(entry, data, warnings);
        }
        if (rename && position) index->renamed(previousId, *rename, *position);
        result.push_back(object);
    }
    // New objects join the tracked list; the tracker's cut keeps it bounded
    // even for a class the model never detects.
    if (created) cutTrackList(tracked, TrackMatchingLimits{});
}

// Reads "Events" within the entry budget; the count beyond it is returned.
size_t readEvents(MpReader& reader, MpReader::Node events, PostprocessingResult& result,
                  ResponseWarnings& warnings) {
    if (reader.type(events) == MpType::Nil) return 0;
    const uint32_t count = reader.arraySize(events);
    const uint32_t taken = static_cast<uint32_t>(std::min<size_t>(count, kMaxAnswerEntries));
    for (uint32_t i = 0; i < taken && reader.ok(); ++i) {
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
    return count - taken;
}

// Reads "BestShots" within the entry budget; the count beyond it is returned.
size_t readBestShots(MpReader& reader, MpReader::Node shots, PostprocessingResult& result,
                     ResponseWarnings& warnings) {
    if (!shots || reader.type(shots) == MpType::Nil) return 0;
    const uint32_t count = reader.arraySize(shots);
    const uint32_t taken = static_cast<uint32_t>(std::min<size_t>(count, kMaxAnswerEntries));
    for (uint32_t i = 0; i < taken && reader.ok(); ++i) {
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
    return count - taken;
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

    // Everything is read first; the device mutex covers only applying it.
    ObjectsEdit objects;
    const MpReader::Node root = reader.root();
    const MpReader::Node classes = reader.find(root, "Objects");
    if (reader.ok() && reader.type(classes) != MpType::Nil) {
        const uint32_t pairs = reader.mapSize(classes);
        for (uint32_t i = 0; i < pairs && reader.ok(); ++i) {
            const MpReader::Node key = reader.mapKey(classes, i);
            if (reader.type(key) != MpType::Str) {
                warnings.add("Warning! Class key is not a string. Skipping.\n");
                continue;
            }
            ClassEdit& edit = objects.classes.emplace_back();
            edit.name = reader.str(key);
            readClass(reader, reader.mapValue(classes, i), edit, objects, warnings);
        }
    }
    size_t droppedEvents = 0, droppedShots = 0;
    if (reader.ok()) {
        const MpReader::Node events = reader.find(root, "Events");
        if (reader.ok()) droppedEvents = readEvents(reader, events, result, warnings);
    }
    if (reader.ok()) droppedShots = readBestShots(reader, reader.findOptional(root, "BestShots"), result, warnings);
    if (!reader.ok()) warnings.add("Warning: Could not properly destroy mpack tree in deserialization\n");
    if (objects.dropped + droppedEvents + droppedShots > 0) {
        static constexpr const char* kBeyond =
            "Warning! Answer for device %s: %zu objects, %zu events and %zu best shots beyond the first %zu of "
            "each dropped.\n";
        if (warnings.first(kBeyond))
            warnings.setLine(formatLine(kBeyond, deviceId.c_str(), objects.dropped, droppedEvents, droppedShots,
                                        kMaxAnswerEntries));
    }

    std::lock_guard<std::mutex> deviceLock(device->mutex);
    ClassAdmission admission(request, device->classes);
    for (const ClassEdit& edit : objects.classes) {
        if (!admission.admit(edit.name)) {
            static constexpr const char* kRefused =
                "Warning! Class %s is not a class of the model or the processor, and device %s already has %zu "
                "other classes. Ignoring it.\n";
            if (warnings.first(kRefused))
                warnings.setLine(formatLine(kRefused, edit.name.substr(0, 256).c_str(), deviceId.c_str(),
                                            ClassAdmission::kMaxOtherClasses));
            continue;
        }
        const auto [tracked, added] = device->classes.try_emplace(edit.name);
        applyClass(edit, request, tracked->second, result.objects[edit.name], warnings);
        // A class that got no object holds no memory for later.
        if (added && tracked->second.empty()) device->classes.erase(tracked);
    }
    return result;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
