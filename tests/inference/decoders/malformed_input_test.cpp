// Every built decoder meets broken tensor sets: each must come back with an
// empty result (no tensor array, the decoder's id rule) and exactly one
// warning carrying its tag, and must not read outside the data it was given
// (the sanitizer builds check that).
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>

#include "decoder_test_util.h"
#include "inference/decoders/decoders.h"

using namespace decoder_test;

namespace {

struct DecoderCase {
    int32_t architecture;
    const char* tag;
    std::vector<int32_t> validShape;  // a well-formed shape with 10 proposals
    bool emptyIdIsZero;
};

std::ostream& operator<<(std::ostream& os, const DecoderCase& c) { return os << c.tag; }

const DecoderCase kDecoders[] = {
    {0, "AnchorFreeYolo", {1, 6, 10}, true},
    {1, "AnchorBasedYolo", {1, 10, 7}, false},
    {2, "YOLO26", {1, 10, 6}, false},
};

size_t elementCount(const std::vector<int32_t>& shape) {
    size_t n = 1;
    for (const int32_t d : shape) n *= static_cast<size_t>(d);
    return n;
}

TensorSpec validTensor(const DecoderCase& d) {
    return floatTensor("output0", d.validShape, std::vector<float>(elementCount(d.validShape), 0.5f));
}

struct Malformed {
    std::string name;
    std::function<SetPtr(const DecoderCase&)> build;
    bool appliesTo0 = true;  // AnchorFreeYolo reads any rank >= 2 and batch 0 only
};

std::vector<Malformed> malformedInputs() {
    std::vector<Malformed> m;
    m.push_back({"tensor array missing", [](const DecoderCase&) {
                     SetPtr s = makeSet({});
                     s->count = 2;
                     return s;
                 }});
    m.push_back({"null data", [](const DecoderCase& d) {
                     TensorSpec t = validTensor(d);
                     t.nullData = true;
                     return makeSet({t});
                 }});
    m.push_back({"one element short", [](const DecoderCase& d) {
                     TensorSpec t = validTensor(d);
                     t.byteSize = static_cast<int64_t>(t.values.size() * 4 - 4);
                     return makeSet({t});
                 }});
    m.push_back({"null shape", [](const DecoderCase& d) {
                     SetPtr s = makeSet({validTensor(d)});
                     std::free(s->tensors[0].shape);
                     s->tensors[0].shape = nullptr;
                     return s;
                 }});
    for (size_t dim = 0; dim < 3; ++dim) {
        m.push_back({"negative dimension " + std::to_string(dim), [dim](const DecoderCase& d) {
                         TensorSpec t = validTensor(d);
                         t.shape[dim] = -1;
                         return makeSet({t});
                     }});
    }
    m.push_back({"zero row size", [](const DecoderCase& d) {
                     TensorSpec t = validTensor(d);
                     t.shape[d.architecture == 0 ? 1 : 2] = 0;
                     return makeSet({t});
                 }});
    for (const int rank : {0, 1}) {
        m.push_back({"rank " + std::to_string(rank), [rank](const DecoderCase& d) {
                         TensorSpec t = validTensor(d);
                         t.shape.resize(rank, 60);
                         return makeSet({t});
                     }});
    }
    m.push_back({"rank 5",
                 [](const DecoderCase& d) {
                     TensorSpec t = validTensor(d);
                     t.shape.insert(t.shape.begin(), {1, 1});
                     return makeSet({t});
                 },
                 false});
    m.push_back({"batch 2",
                 [](const DecoderCase& d) {
                     TensorSpec t = validTensor(d);
                     t.shape[0] = 2;
                     t.values.resize(t.values.size() * 2, 0.5f);
                     return makeSet({t});
                 },
                 false});
    for (const uint32_t type : {2u, 3u, 10u}) {
        m.push_back({"element type " + std::to_string(type), [type](const DecoderCase& d) {
                         TensorSpec t = validTensor(d);
                         t.elementType = type;
                         return makeSet({t});
                     }});
    }
    m.push_back({"huge count, tiny data", [](const DecoderCase& d) {
                     TensorSpec t = validTensor(d);
                     t.shape[d.architecture == 0 ? 2 : 1] = INT_MAX;
                     return makeSet({t});
                 }});
    m.push_back({"overflowing shape", [](const DecoderCase& d) {
                     TensorSpec t = validTensor(d);
                     t.shape = {INT_MAX, INT_MAX, INT_MAX, 6, INT_MAX};
                     if (d.architecture != 0) t.shape = {INT_MAX, INT_MAX, INT_MAX};
                     return makeSet({t});
                 }});
    return m;
}

class MalformedInput : public ::testing::TestWithParam<DecoderCase> {};

TEST_P(MalformedInput, GivesAnEmptyResultAndOneWarning) {
    const DecoderCase& d = GetParam();
    const std::string head = std::string("Warning! [") + d.tag + "]";
    auto check = [&](const std::string& name, const TensorSet* input, uint32_t expectedId) {
        SCOPED_TRACE(name);
        LogCapture log;
        SetPtr out(qzai::runDetectionPostprocessor(d.architecture, input, 0.25f, 0.45f, 640, 640));
        ASSERT_TRUE(out);
        EXPECT_EQ(out->count, 0u);
        EXPECT_EQ(out->tensors, nullptr);
        EXPECT_EQ(out->id, expectedId);
        ASSERT_EQ(log.warnings.size(), 1u);
        EXPECT_EQ(log.warnings[0].rfind(head, 0), 0u) << log.warnings[0];
    };

    check("null set", nullptr, 0);
    for (const Malformed& m : malformedInputs()) {
        if (d.architecture == 0 && !m.appliesTo0) continue;
        SetPtr input = m.build(d);
        check(m.name, input.get(), d.emptyIdIsZero ? 0 : input->id);
    }
}

INSTANTIATE_TEST_SUITE_P(BuiltDecoders, MalformedInput, ::testing::ValuesIn(kDecoders));

}  // namespace
