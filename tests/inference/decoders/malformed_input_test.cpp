// Every decoder meets broken tensor sets: each must come back with an empty
// result (no tensor array, the decoder's id rule) and exactly one warning
// carrying its tag, and must not read outside the data it was given (the
// sanitizer builds check that).
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <functional>
#include <set>
#include <string>

#include "decoder_test_util.h"
#include "inference/decoders/decoders.h"

using namespace decoder_test;

namespace {

struct DecoderCase {
    int32_t architecture;
    const char* tag;
    std::vector<TensorDesc> valid;  // a well-formed set of about 10 proposals
    size_t target;                  // the tensor whose shape is broken
    size_t countDim;                // its proposal-count dimension
    std::pair<size_t, size_t> zeroDim;  // tensor and dimension set to 0
    std::set<std::string> skipped;  // malformations the family reads as valid
    bool emptyIdIsZero = false;
    bool namesRequired = false;     // no shape fallback when names are missing
    bool silentWhenMissing = false; // a set without tensors is logged verbosely only
};

std::ostream& operator<<(std::ostream& os, const DecoderCase& c) { return os << c.tag; }

size_t elementCount(const std::vector<int32_t>& shape) {
    size_t n = 1;
    for (const int32_t d : shape) n *= static_cast<size_t>(d);
    return n;
}

TensorDesc half(const char* name, std::vector<int32_t> shape) {
    return floatTensor(name, shape, std::vector<float>(elementCount(shape), 0.5f));
}

std::vector<TensorDesc> deepXSet() {
    return {half("r", {1, 64, 4, 4}), half("r", {1, 64, 2, 2}), half("r", {1, 64, 1, 1}),
            half("c", {1, 3, 4, 4}),  half("c", {1, 3, 2, 2}),  half("c", {1, 3, 1, 1})};
}

const DecoderCase kDecoders[] = {
    {0, "AnchorFreeYolo", {half("output0", {1, 6, 10})}, 0, 2, {0, 1}, {"rank 5", "batch 2"}, true},
    {1, "AnchorBasedYolo", {half("output0", {1, 10, 7})}, 0, 1, {0, 2}, {}},
    {2, "YOLO26", {half("output0", {1, 10, 6})}, 0, 1, {0, 2}, {}},
    {3, "YOLO-NAS", {half("boxes", {1, 10, 4}), half("scores", {1, 10, 3})}, 0, 1, {0, 2}, {}},
    {4, "RT-DETR", {half("logits", {1, 10, 5}), half("boxes", {1, 10, 4})}, 0, 1, {0, 2}, {}, false, false, true},
    {5, "RF-DETR", {half("scores", {1, 10}), half("boxes", {1, 10, 4}), half("labels", {1, 10})}, 0, 1, {1, 2},
     {"rank 1"}, false, true},
    {6, "SSD", {half("boxes", {1, 10, 4}), half("scores", {1, 10, 3})}, 0, 1, {1, 2}, {}, false, true},
    {7, "EfficientDet", {half("boxes", {1, 10, 4}), half("scores", {1, 10}), half("classes", {1, 10})}, 1, 1,
     {0, 2}, {"rank 1"}, false, true},
    {8, "NanoDet", {half("", {1, 2100, 36})}, 0, 1, {0, 2}, {}},
    {9, "YOLOv8-DeepX", deepXSet(), 0, 2, {0, 2}, {}},
};

using Tensors = std::vector<TensorDesc>;

struct Malformed {
    std::string name;
    std::function<SetPtr(const DecoderCase&)> build;
    bool removesTensors = false;
};

// A malformation of the target tensor.
Malformed onTarget(std::string name, std::function<void(const DecoderCase&, TensorDesc&)> change) {
    return {name, [change](const DecoderCase& d) {
                Tensors t = d.valid;
                change(d, t[d.target]);
                return makeSet(t);
            }};
}

std::vector<Malformed> malformedInputs() {
    std::vector<Malformed> m;
    m.push_back({"tensor array missing",
                 [](const DecoderCase&) {
                     SetPtr s = makeSet({});
                     s->count = 2;
                     return s;
                 },
                 true});
    for (size_t i = 0; i < 6; ++i) {
        const std::string tensor = " in tensor " + std::to_string(i);
        auto breakTensor = [i](std::function<void(TensorDesc&)> change) {
            return [i, change](const DecoderCase& d) {
                Tensors t = d.valid;
                if (i < t.size()) change(t[i]);
                return makeSet(t);
            };
        };
        m.push_back({"null data" + tensor, breakTensor([](TensorDesc& t) { t.nullData = true; })});
        m.push_back({"one element short" + tensor, breakTensor([](TensorDesc& t) {
                         t.byteSize = static_cast<int64_t>(t.values.size() * 4 - 4);
                     })});
    }
    m.push_back({"null shape", [](const DecoderCase& d) {
                     SetPtr s = makeSet(d.valid);
                     std::free(s->tensors[d.target].shape);
                     s->tensors[d.target].shape = nullptr;
                     return s;
                 }});
    for (size_t dim = 0; dim < 3; ++dim) {
        m.push_back(onTarget("negative dimension " + std::to_string(dim),
                             [dim](const DecoderCase&, TensorDesc& t) { t.shape[std::min(dim, t.shape.size() - 1)] = -1; }));
    }
    m.push_back({"zero dimension", [](const DecoderCase& d) {
                     Tensors t = d.valid;
                     TensorDesc& z = t[d.zeroDim.first];
                     z.shape[d.zeroDim.second] = 0;
                     z.values.clear();
                     return makeSet(t);
                 }});
    for (const int rank : {0, 1}) {
        m.push_back(onTarget("rank " + std::to_string(rank),
                             [rank](const DecoderCase&, TensorDesc& t) { t.shape.resize(rank, 60); }));
    }
    m.push_back(onTarget("rank 5", [](const DecoderCase&, TensorDesc& t) {
        t.shape.insert(t.shape.begin(), 5 - static_cast<int>(t.shape.size()), 1);
    }));
    m.push_back(onTarget("batch 2", [](const DecoderCase&, TensorDesc& t) {
        t.shape[0] = 2;
        t.values.resize(t.values.size() * 2, 0.5f);
    }));
    for (const uint32_t type : {2u, 3u, 10u}) {
        m.push_back(onTarget("element type " + std::to_string(type),
                             [type](const DecoderCase&, TensorDesc& t) { t.elementType = type; }));
    }
    m.push_back(onTarget("huge count, tiny data",
                         [](const DecoderCase& d, TensorDesc& t) { t.shape[d.countDim] = INT_MAX; }));
    m.push_back(onTarget("overflowing shape", [](const DecoderCase& d, TensorDesc& t) {
        t.shape = {INT_MAX, INT_MAX, INT_MAX};
        if (d.architecture == 0) t.shape = {INT_MAX, INT_MAX, INT_MAX, 6, INT_MAX};
    }));
    m.push_back({"names missing", [](const DecoderCase& d) {
                     Tensors t = d.valid;
                     for (TensorDesc& s : t) s.nullName = true;
                     return makeSet(t);
                 }});
    return m;
}

class MalformedInput : public ::testing::TestWithParam<DecoderCase> {};

TEST_P(MalformedInput, GivesAnEmptyResultAndOneWarning) {
    const DecoderCase& d = GetParam();
    const std::string head = std::string("Warning! [") + d.tag + "]";
    auto check = [&](const std::string& name, const TensorSet* input, uint32_t expectedId, bool missing) {
        SCOPED_TRACE(name);
        LogCapture log;
        SetPtr out(qzai::runDetectionPostprocessor(d.architecture, input, 0.25f, 0.45f, 640, 640));
        ASSERT_TRUE(out);
        EXPECT_EQ(out->count, 0u);
        EXPECT_EQ(out->tensors, nullptr);
        EXPECT_EQ(out->id, expectedId);
        if (missing && d.silentWhenMissing) {
            EXPECT_TRUE(log.warnings.empty());
            return;
        }
        ASSERT_EQ(log.warnings.size(), 1u);
        EXPECT_EQ(log.warnings[0].rfind(head, 0), 0u) << log.warnings[0];
    };

    // The valid set itself decodes without a warning.
    {
        LogCapture log;
        SetPtr input = makeSet(d.valid);
        SetPtr out(qzai::runDetectionPostprocessor(d.architecture, input.get(), 0.25f, 0.45f, 640, 640));
        EXPECT_TRUE(log.warnings.empty()) << log.warnings[0];
    }
    check("null set", nullptr, 0, true);
    for (const Malformed& m : malformedInputs()) {
        if (d.skipped.count(m.name) || (m.name == "names missing" && !d.namesRequired)) continue;
        if (m.name.find(" in tensor ") != std::string::npos &&
            std::stoul(m.name.substr(m.name.rfind(' ') + 1)) >= d.valid.size()) {
            continue;
        }
        SetPtr input = m.build(d);
        check(m.name, input.get(), d.emptyIdIsZero ? 0 : input->id, m.removesTensors);
    }
}

// Values the model should never give: nothing crashes, no float-to-int
// conversion is undefined (UBSan), and no score that is not finite becomes
// a detection.
class NonNumberValues : public ::testing::TestWithParam<DecoderCase> {};

TEST_P(NonNumberValues, NeverBecomeScores) {
    const DecoderCase& d = GetParam();
    for (const float v : {NAN, INFINITY, -INFINITY, 1e30f}) {
        SCOPED_TRACE(v);
        Tensors t = d.valid;
        for (TensorDesc& s : t) std::fill(s.values.begin(), s.values.end(), v);
        const Decoded out = decodeWith(d.architecture, t, 0.25f);
        for (size_t r = 0; r < out.rows.size(); r += 6) EXPECT_TRUE(std::isfinite(out.rows[r + 4]));
    }
}

std::string caseName(const ::testing::TestParamInfo<DecoderCase>& info) {
    std::string name = info.param.tag;
    name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
    return name;
}

INSTANTIATE_TEST_SUITE_P(AllDecoders, MalformedInput, ::testing::ValuesIn(kDecoders), caseName);
// The YOLO decoders' own tests cover them.
INSTANTIATE_TEST_SUITE_P(FamilyDecoders, NonNumberValues,
                         ::testing::ValuesIn(std::begin(kDecoders) + 3, std::end(kDecoders)), caseName);

}  // namespace
