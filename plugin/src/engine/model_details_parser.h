// Reads one model description (an entry of a pipeline document's "models"
// array; layout in docs/formats.md) into a fresh ModelDetails_t.
//
// Plain function, thread-safe. Throws JsonFieldError when the description is
// not an object or has no text "UUID"; every other field is optional and a
// malformed optional field keeps its default.
#pragma once

#include <memory>

#include <nlohmann/json.hpp>

#include "records/model_details.h"

namespace qz::vms_server_plugins::analytics::qzai {

std::shared_ptr<ModelDetails_t> parseModelDetails(const nlohmann::json& description);

// True when two descriptions of the same model id name the same files, so
// the cached download (and its state) of `existing` can stand for `fresh`.
bool sameModelRevision(const ModelDetails_t& existing, const ModelDetails_t& fresh);

}  // namespace qz::vms_server_plugins::analytics::qzai
