// QzAIObject_t: one tracked object, shared through shared_ptr by the tracker,
// every post-processing rule, the chained stages, the external objects
// post-processors and the packet assembly of all output workers of a camera.
//
// Locking: every field lives in `data` and is guarded by the object's own
// `mutex`. That mutex is a leaf: hold it only for short reads or writes of
// `data` and never take another lock while holding it (the tracker takes it
// under its device mutex, the dumping rule under its dumping lock; both are
// fine because nothing is acquired after it). Code outside the tracker that
// only reads works from snapshot(), a plain copy taken under the lock.
//
// firstSeenUs and typeId are set at creation and never change; the others
// (box, confidence, lastSeenUs, trackId, attributes, skipFeatureExtraction)
// are changed by the tracker, the rules and the external post-processors.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "inference/tensor_helpers.h"
#include "qz/sdk/helpers/attribute.h"
#include "qz/sdk/ptr.h"
#include "qz/sdk/helpers/uuid.h"

namespace qz::vms_server_plugins::analytics::qzai {

// The fields of a tracked object; also the type of a snapshot.
struct QzAIObjectData_t {
    int64_t firstSeenUs = 0;  // frame timestamp of the frame that created it
    int64_t lastSeenUs = 0;   // frame timestamp of the last frame that matched it
    qz::sdk::Uuid trackId;
    std::string typeId;       // object type id of the class
    BoxXywh box;             // x, y, width, height as fractions of the frame
    std::vector<qz::sdk::Ptr<qz::sdk::Attribute>> attributes;
    float confidence = 0.0f;  // score of the last matching detection
    bool skipFeatureExtraction = false;  // not handed to child stages when set
};

struct QzAIObject_t {
    QzAIObject_t() = default;
    explicit QzAIObject_t(QzAIObjectData_t initial) : data(std::move(initial)) {}
    QzAIObject_t(const QzAIObject_t&) = delete;
    QzAIObject_t& operator=(const QzAIObject_t&) = delete;

    // A copy of every field, taken under the object's lock.
    QzAIObjectData_t snapshot() const {
        std::lock_guard<std::mutex> lock(mutex);
        return data;
    }

    mutable std::mutex mutex;  // leaf lock over `data`
    QzAIObjectData_t data;     // guarded by mutex
};

using QzAIObjectPtr = std::shared_ptr<QzAIObject_t>;
using QzAIObjectList = std::vector<QzAIObjectPtr>;
// Objects of one frame or one device by class name, in class-name order.
using ObjectsByClass = std::map<std::string, QzAIObjectList>;

}  // namespace qz::vms_server_plugins::analytics::qzai
