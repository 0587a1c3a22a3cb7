// libFuzzer target: builds a runtime output set from the input bytes, passes
// it through the inference engine's output check and, when the check accepts
// it, through the detection stage's object post-processing, as the engine's
// output thread and the output workers do. Every data block is allocated to
// the size one of the set's two witnesses claims (the byte size or the shape),
// the smaller one, so a reader trusting the other after the check accepted
// the set is caught by the sanitizers. The tracking state lives across runs.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "inference/tensor_utils.h"
#include "records/model_details.h"
#include "records/device_agent_details.h"
#include "records/pipeline_stage.h"
#include "records/device_agent_settings.h"
#include "inference/inference_types.h"
#include "inference/output_validation.h"
#include "inference/postprocessing/postprocessing_state.h"
#include "inference/postprocessing/process_objects.h"
#include "inference/tensor_helpers.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

// What this target links without: no dumping cache on disk, and an SDK
// assertion is a finding.
namespace qz::vms_server_plugins::analytics::qzai {
void saveDumpingCache(PostprocessingState&) {}
}  // namespace qz::vms_server_plugins::analytics::qzai
namespace qz::sdk {
void reportAssertion(const char* file, int line, const char* text) {
    std::fprintf(stderr, "assertion failed at %s:%d: %s\n", file, line, text);
    std::abort();
}
}  // namespace qz::sdk

namespace {

constexpr uint64_t kMaxBytes = 1 << 20;

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
    uint32_t u32() { return static_cast<uint32_t>(u16()) | static_cast<uint32_t>(u16()) << 16; }
    uint64_t u64() { return static_cast<uint64_t>(u32()) | static_cast<uint64_t>(u32()) << 32; }
    // Copies up to n of the remaining bytes to `out` and zero-fills the rest.
    void fill(uint8_t* out, uint64_t n) {
        const uint64_t have = std::min<uint64_t>(n, size_ - pos_);
        if (have) std::memcpy(out, data_ + pos_, have);
        pos_ += have;
        if (n > have) std::memset(out + have, 0, n - have);
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

const char* const kNames[] = {"bboxes-format:xyxysc;0:car;1:person", "output0 format:xyxysc",
                              "x format:xyxysc;0:a", "scores", nullptr};
const uint32_t kTypes[] = {1, 1, 1, 2, 6, 7, 9, 10, 11, 13, 0, 99};

int32_t dimension(Reader& in) {
    const uint8_t mode = in.byte();
    if (mode < 200) return mode % 64;
    if (mode < 240) return in.u16();
    return static_cast<int32_t>(in.u32());  // negative, huge
}

// a x b, saturated.
uint64_t product(uint64_t a, uint64_t b) {
    uint64_t r = 0;
    return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

// Builds one tensor; false when the claimed sizes exceed what the harness
// allocates (those inputs are skipped).
bool makeTensor(Reader& in, Tensor& t) {
    const uint8_t nameChoice = in.byte() % (sizeof kNames / sizeof kNames[0]);
    t.name = kNames[nameChoice] ? strdup(kNames[nameChoice]) : nullptr;
    t.elementType = kTypes[in.byte() % (sizeof kTypes / sizeof kTypes[0])];
    // The shape array holds `rank` entries (the boundary's contract); a rank
    // beyond any the check allows comes with a short array.
    const uint8_t rankMode = in.byte();
    t.rank = rankMode < 250 ? rankMode % 10 : in.u32();
    const uint32_t shapeEntries = t.rank <= 9 ? t.rank : 1;
    if (shapeEntries > 0 && in.byte() != 0xFF) {
        t.shape = static_cast<int32_t*>(std::malloc(shapeEntries * sizeof(int32_t)));
        for (uint32_t d = 0; d < shapeEntries; ++d) t.shape[d] = dimension(in);
    }
    uint64_t elements = 1;
    for (uint32_t d = 0; d < shapeEntries && t.shape; ++d)
        elements = product(elements, t.shape[d] < 0 ? UINT64_MAX : static_cast<uint64_t>(t.shape[d]));
    const uint32_t size = qzai::elementSizeOf(t.elementType);
    const uint64_t shapeBytes = product(elements, size ? size : 1);
    const uint8_t sizeMode = in.byte();
    if (sizeMode < 160) t.byteSize = shapeBytes;
    else if (sizeMode < 220) t.byteSize = shapeBytes + static_cast<int8_t>(in.byte());
    else if (sizeMode < 250) t.byteSize = in.u16();
    else t.byteSize = in.u64();
    // The block is as large as the smaller witness says; a set whose
    // witnesses disagree must never pass the check.
    const uint64_t allocated = std::min(t.byteSize, shapeBytes);
    if (allocated > kMaxBytes) return false;
    if (allocated > 0 && in.byte() != 0xFF) {
        t.data = std::malloc(allocated);
        in.fill(static_cast<uint8_t*>(t.data), allocated);
    }
    return true;
}

struct Stage {
    std::shared_ptr<qzai::DeviceAgentSettings_t> settings = std::make_shared<qzai::DeviceAgentSettings_t>();
    Stage() {
        settings->stages.emplace_back();
        qzai::pipeline_stage_parameters_t& stage = settings->stages.back();
        stage.key = "detector";
        stage.model = std::make_shared<qzai::ModelDetails_t>();
        stage.model->id = "detector";
        auto preparation = std::make_shared<qzai::ModelPreparation>();
        preparation->detectionOutputName = "output0 format:xyxysc";
        preparation->detectionClasses = {"car", "person", "bicycle"};
        stage.model->setPreparation(preparation);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qzai::PostprocessingState state("");
    static Stage stage;
    static const std::vector<std::shared_ptr<qzai::DeviceAgentDetails_t>> cameras = {
        std::make_shared<qzai::DeviceAgentDetails_t>(qzai::DeviceAgentDetails_t{"cam-1", "Camera 1"}),
        std::make_shared<qzai::DeviceAgentDetails_t>(qzai::DeviceAgentDetails_t{"cam-2", "Camera 2"})};

    Reader in(data, size);
    qzai::pipeline_stage_parameters_t& params = stage.settings->stages.back();
    params.model->input.width = in.byte() < 240 ? 320 : in.u32();
    params.model->input.height = in.byte() < 240 ? 320 : in.u32();
    params.resizingMethod = static_cast<qzai::ResizingMethod>(in.byte() % 3);

    auto request = std::make_shared<qzai::InferenceInput_t>();
    request->timestampUs = static_cast<int64_t>(in.byte() < 240 ? in.u16() * 1000ull : in.u64());
    request->frameWidth = in.byte() < 240 ? 640 : static_cast<int32_t>(in.u32());
    request->frameHeight = in.byte() < 240 ? 480 : static_cast<int32_t>(in.u32());
    request->settings = stage.settings;
    request->stage = &params;
    request->details = cameras[in.byte() % cameras.size()];

    auto* set = static_cast<TensorSet*>(std::calloc(1, sizeof(TensorSet)));
    const uint8_t countMode = in.byte();
    set->count = countMode < 250 ? countMode % 4 : in.u32();
    const uint32_t built = countMode < 250 ? set->count : 0;
    if (built > 0) set->tensors = static_cast<Tensor*>(std::calloc(built, sizeof(Tensor)));
    bool fits = true;
    for (uint32_t i = 0; i < built && fits; ++i) fits = makeTensor(in, set->tensors[i]);

    std::string problem;
    if (fits && qzai::isSoundOutputSet(*set, problem)) qzai::process_objects(state, request, set);
    // A set with a count but no tensor array has nothing to free inside.
    if (!set->tensors) set->count = 0;
    else set->count = built;
    qzai::freeTensorSet(set);
    std::free(set);
    return 0;
}
