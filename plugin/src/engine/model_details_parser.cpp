#include "engine/model_details_parser.h"

#include <cmath>
#include <limits>

#include "common/json_utils.h"
#include "engine/json_fields.h"
#include "common/text_utils.h"
#include "inference/tensor_helpers.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

using nlohmann::json;

uint64_t unsignedOr(const json& object, const char* key, uint64_t fallback) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_number_integer()) return fallback;
    if (it->is_number_unsigned()) return it->get<uint64_t>();
    const int64_t v = it->get<int64_t>();
    return v < 0 ? fallback : static_cast<uint64_t>(v);
}

void readTriple(const json& object, const char* key, float (&out)[3]) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_array() || it->size() != 3) return;
    float values[3];
    for (size_t i = 0; i < 3; ++i) {
        if (!(*it)[i].is_number()) return;
        values[i] = floatFromJson((*it)[i], key, std::numeric_limits<float>::quiet_NaN());
        if (std::isnan(values[i])) return;  // out of range: the whole triple keeps its defaults
    }
    for (size_t i = 0; i < 3; ++i) out[i] = values[i];
}

ModelInputDetails_t readInput(const json& object) {
    ModelInputDetails_t input;
    if (!object.is_object()) return input;
    input.width = unsignedOr(object, "width", 0);
    input.height = unsignedOr(object, "height", 0);
    input.channels = static_cast<uint32_t>(unsignedOr(object, "channels", 0));
    const auto order = object.find("order");
    input.order = (order != object.end() && order->is_number_integer() && order->get<int64_t>() == 1) ? 1 : 0;
    readTriple(object, "means", input.means);
    readTriple(object, "vars", input.vars);
    return input;
}

std::vector<NamedTensorDetails_t> readNamedTensors(const json& description, const char* key) {
    std::vector<NamedTensorDetails_t> tensors;
    const auto it = description.find(key);
    if (it == description.end() || !it->is_array()) return tensors;
    for (const auto& entry : *it) {
        if (!entry.is_object()) continue;
        NamedTensorDetails_t tensor;
        tensor.name = optionalText(entry, "Name");
        tensor.dataType = static_cast<uint32_t>(dataTypeFromString(optionalText(entry, "DataType")));
        const auto shape = entry.find("Shape");
        if (shape != entry.end() && shape->is_array()) {
            for (const auto& dim : *shape) {
                if (dim.is_number_integer()) tensor.shape.push_back(dim.get<int64_t>());
            }
        }
        tensors.push_back(std::move(tensor));
    }
    return tensors;
}

}  // namespace

std::shared_ptr<ModelDetails_t> parseModelDetails(const json& description) {
    auto model = std::make_shared<ModelDetails_t>();
    model->id = requireString(description, "UUID");
    if (model->id.empty()) throw JsonFieldError("field \"UUID\" is empty");
    model->name = optionalText(description, "Name", model->id);
    model->lastModified = optionalText(description, "LastModified");
    model->downloadUrl = optionalText(description, "DownloadURL");
    model->downloadSize = unsignedOr(description, "Size", 0);
    if (const auto it = description.find("InputDriverDetails"); it != description.end()) {
        model->input = readInput(*it);
    }
    model->namedInputs = readNamedTensors(description, "NamedInput");
    model->namedOutputs = readNamedTensors(description, "NamedOutput");

    // Scores output: the first named output whose name describes scores.
    for (const auto& output : model->namedOutputs) {
        if (output.name.rfind("scores-", 0) != 0) continue;
        model->scoresOutputName = output.name;
        model->scoresClasses = parseClassNames(output.name);
        break;
    }

    // Class names: "Classes" when given, else the first named output that
    // describes classes.
    if (const auto it = description.find("Classes"); it != description.end() && it->is_array()) {
        for (const auto& name : *it) {
            if (name.is_string()) model->classNames.push_back(name.get<std::string>());
        }
    } else {
        for (const auto& output : model->namedOutputs) {
            auto names = parseClassNames(output.name);
            if (names.empty()) continue;
            model->classNames = std::move(names);
            break;
        }
    }
    return model;
}

bool sameModelRevision(const ModelDetails_t& existing, const ModelDetails_t& fresh) {
    return existing.id == fresh.id && existing.lastModified == fresh.lastModified &&
           existing.downloadUrl == fresh.downloadUrl;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
