// libFuzzer target: the input bytes give a camera stage (masks with any
// points, including NaN, infinities, huge values and odd counts; a line,
// also degenerate), a few frames of detection rows, a "scores-" tensor with
// any name and data, and optional rates, and Postprocessing runs its rules
// over them for one or two devices. Masks and lines come from user settings,
// score names and data from the model: nothing here may crash, overflow or
// convert a float out of range.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "inference/tensor_utils.h"
#include "inference/postprocessing/postprocessing.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(byte()) << (8 * i);
        return v;
    }
    uint64_t u64() { return u32() | static_cast<uint64_t>(u32()) << 32; }
    // Mostly values of interest, sometimes raw bits.
    float value() {
        static const float kSpecial[] = {0.0f,     0.5f,       1.0f,    -1.0f,   0.25f,    0.75f,  NAN,
                                         INFINITY, -INFINITY,  1e30f,   -1e30f,  1e-30f,   FLT_MAX, 320.0f,
                                         640.0f,   -0.0001f,   0.4999f, 0.5001f, 1e-7f,    64.0f};
        const uint8_t mode = byte();
        if (mode < 100) return static_cast<float>(mode) / 99.0f;
        if (mode < 200) return kSpecial[mode % (sizeof kSpecial / sizeof kSpecial[0])];
        const uint32_t bits = u32();
        float v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    double rate() {
        const uint64_t bits = u64();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    std::string text(size_t max) {
        const size_t length = byte() % (max + 1);
        std::string s;
        for (size_t i = 0; i < length && pos_ < size_; ++i) s.push_back(static_cast<char>(byte()));
        return s;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A set allocated block by block, each to its exact size, as the runtime
// hands one over.
qzai::TensorSetPtr makeSet(const std::vector<std::pair<std::string, std::vector<uint8_t>>>& tensors) {
    auto* set = static_cast<TensorSet*>(std::calloc(1, sizeof(TensorSet)));
    set->count = static_cast<uint32_t>(tensors.size());
    set->tensors = static_cast<Tensor*>(std::calloc(tensors.size() + 1, sizeof(Tensor)));
    for (size_t i = 0; i < tensors.size(); ++i) {
        Tensor& t = set->tensors[i];
        t.name = strdup(tensors[i].first.c_str());
        t.elementType = QZ_ELEMENT_FLOAT32;
        t.rank = 1;
        t.shape = static_cast<int32_t*>(std::malloc(sizeof(int32_t)));
        t.shape[0] = static_cast<int32_t>(tensors[i].second.size() / 4);
        t.byteSize = tensors[i].second.size();
        t.data = std::malloc(std::max<size_t>(1, t.byteSize));
        if (t.byteSize) std::memcpy(t.data, tensors[i].second.data(), t.byteSize);
    }
    return qzai::TensorSetPtr(set);
}

std::vector<uint8_t> floatBytes(const std::vector<float>& values) {
    std::vector<uint8_t> bytes(values.size() * sizeof(float));
    if (!bytes.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    const uint8_t flags = in.byte();

    auto model = std::make_shared<qzai::ModelDetails_t>();
    model->id = "m";
    model->input.width = 1 + in.byte() % 4 * 320;
    model->input.height = 1 + in.byte() % 4 * 320;
    auto preparation = std::make_shared<qzai::ModelPreparation>();
    preparation->detectionClasses = {"car", "person", "bike"};
    model->setPreparation(preparation);
    if (flags & 1) {
        model->scoresOutputName = "scores-0:a;1:b;2:c";
        model->scoresClasses = {"a", "b", "c"};
    }
    auto settings = std::make_shared<qzai::DeviceAgentSettings_t>();
    settings->stages.emplace_back();
    qzai::pipeline_stage_parameters_t& stage = settings->stages[0];
    stage.key = model->id;
    stage.model = model;
    stage.resizingMethod = static_cast<qzai::ResizingMethod>(in.byte() % 3);
    for (int m = in.byte() % 5; m > 0; --m) {
        qzai::InputMask_t mask;
        const uint8_t type = in.byte();
        mask.type = type < 100 ? 0 : type < 200 ? 1 : static_cast<int32_t>(in.u32());
        for (int p = in.byte() % 17; p > 0; --p) mask.points.push_back(in.value());
        stage.masks.push_back(std::move(mask));
    }
    stage.lineCrossingEnabled = (flags & 2) != 0;
    stage.lineX1 = in.value(), stage.lineY1 = in.value();
    if (flags & 4) stage.lineX2 = stage.lineX1, stage.lineY2 = stage.lineY1;  // degenerate
    else stage.lineX2 = in.value(), stage.lineY2 = in.value();

    std::shared_ptr<qzai::DeviceAgentDetails_t> devices[2];
    for (int d = 0; d < 2; ++d) {
        devices[d] = std::make_shared<qzai::DeviceAgentDetails_t>();
        devices[d]->deviceId = "cam-" + std::to_string(d);
        devices[d]->deviceName = devices[d]->deviceId;
    }

    qzai::PostprocessingState state("");
    int64_t timestampUs = 0;
    for (int frame = 1 + in.byte() % 6; frame > 0; --frame) {
        const uint8_t step = in.byte();
        if (step == 255) timestampUs = static_cast<int64_t>(in.u64());  // anywhere, also backwards
        else timestampUs = static_cast<int64_t>(static_cast<uint64_t>(timestampUs) + step * 4000u);  // wraps
        std::vector<float> rows;
        for (int r = in.byte() % 9; r > 0; --r)
            for (int v = 0; v < 6; ++v) rows.push_back(v == 5 ? static_cast<float>(in.byte() % 4) : in.value() * 640.0f);
        std::vector<std::pair<std::string, std::vector<uint8_t>>> tensors = {
            {"output0 format:xyxysc", floatBytes(rows)}};
        const uint8_t scores = in.byte();
        if (scores & 1) {
            std::string name = (scores & 2) ? "scores-" + in.text(24) : in.text(24);
            if (scores & 4) name = model->scoresOutputName;
            std::vector<uint8_t> bytes;
            for (int b = in.byte() % 33; b > 0; --b) bytes.push_back(in.byte());
            tensors.push_back({name, bytes});
        }

        auto request = std::make_shared<qzai::InferenceInput_t>();
        request->timestampUs = timestampUs;
        request->frameWidth = 1920;
        request->frameHeight = 1080;
        request->settings = settings;
        request->details = devices[in.byte() % 2];
        request->stage = &settings->stages[0];

        qzai::InferenceOutput output;
        output.request = request;
        output.output = makeSet(tensors);
        if (in.byte() & 1) {
            output.reportThroughput = true;
            output.engineInputRate = in.rate(), output.deviceInputRate = in.rate();
            output.engineOutputRate = in.rate(), output.deviceOutputRate = in.rate();
        }
        const qzai::PostprocessingResult result = qzai::Postprocessing(state, output);
        size_t texts = 0;
        for (const auto& event : result.events) texts += std::strlen(event->description());
        volatile size_t sink = texts;
        (void)sink;
    }
    return 0;
}
