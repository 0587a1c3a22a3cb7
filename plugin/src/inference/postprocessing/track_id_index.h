// TrackIdIndex: the track ids of one class list of a device, for applying
// one processor answer to that list. Finds the first object of the list with
// a given id in logarithmic time, where a scan would lock every object.
//
// The index reads each object's id once, under the object's lock, when it
// is built; afterwards the caller reports every change it makes to the list
// (appended objects, renamed objects), and nothing else may change the list
// or its ids meanwhile: the caller holds the device mutex throughout.
//
// Not thread-safe; one index lives for one class of one answer.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <vector>

#include "inference/postprocessing/qzai_object.h"
#include "qz/sdk/helpers/uuid.h"

namespace qz::vms_server_plugins::analytics::qzai {

class TrackIdIndex {
public:
    explicit TrackIdIndex(const QzAIObjectList& tracks);
    TrackIdIndex(const TrackIdIndex&) = delete;
    TrackIdIndex& operator=(const TrackIdIndex&) = delete;

    // Position in the list of the first object with `id`, or nothing.
    std::optional<size_t> find(const qz::sdk::Uuid& id) const;
    // The object at `position` was appended with `id`.
    void appended(const qz::sdk::Uuid& id, size_t position);
    // The object at `position` changed its id from `from` to `to`.
    void renamed(const qz::sdk::Uuid& from, const qz::sdk::Uuid& to, size_t position);

private:
    // Positions of the objects with each id, ascending.
    std::map<qz::sdk::Uuid, std::vector<size_t>> m_positions;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
