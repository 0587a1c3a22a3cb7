// The output check against sets a runtime might hand back: the byte size must
// agree with the shape for every element type a reader interprets.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "inference/output_validation.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

struct Case {
    const char* what;
    uint32_t elementType;
    std::vector<int32_t> shape;
    uint32_t rank;  // as claimed; the shape array holds shape.size() entries
    uint64_t byteSize;
    bool sound;
};

TEST(OutputValidation, ByteSizeMustMatchTheShapeOfAKnownElementType) {
    static char name[] = "out";
    static unsigned char data[64];
    const Case cases[] = {
        {"float32 exact", QZ_ELEMENT_FLOAT32, {2, 3}, 2, 24, true},
        {"float32 larger", QZ_ELEMENT_FLOAT32, {1, 6}, 2, 24000, false},
        {"float32 smaller", QZ_ELEMENT_FLOAT32, {1, 6}, 2, 23, false},
        {"uint8 exact", QZ_ELEMENT_UINT8, {5}, 1, 5, true},
        {"int64 one short", QZ_ELEMENT_INT64, {3}, 1, 16, false},
        {"double exact", QZ_ELEMENT_DOUBLE, {2}, 1, 16, true},
        {"rank 0 is one element", QZ_ELEMENT_INT32, {}, 0, 4, true},
        {"rank 0 without bytes", QZ_ELEMENT_INT32, {}, 0, 0, false},
        {"a zero dimension", QZ_ELEMENT_FLOAT32, {0, 6}, 2, 0, true},
        {"product beyond 64 bits", QZ_ELEMENT_UINT8, {INT_MAX, INT_MAX, INT_MAX, 2}, 4, 8, false},
        {"bytes beyond 64 bits", QZ_ELEMENT_UINT64, {INT_MAX, INT_MAX, 1 << 30}, 3, 8, false},
        {"rank above the cap", QZ_ELEMENT_UINT8, {1, 1, 1, 1, 1, 1, 1, 1, 1}, 9, 1, false},
        {"rank at the cap", QZ_ELEMENT_UINT8, {1, 1, 1, 1, 1, 1, 1, 1}, 8, 1, true},
        {"rank 2^31", QZ_ELEMENT_UINT8, {1}, 1u << 31, 1, false},
        {"opaque type, any size", 8, {4}, 1, 3, true},
        {"opaque type, huge shape", 99, {INT_MAX, INT_MAX, INT_MAX}, 3, 1, true},
    };
    for (const Case& c : cases) {
        std::vector<int32_t> shape = c.shape;
        Tensor tensor{name, c.elementType, c.rank, shape.empty() ? nullptr : shape.data(), c.byteSize,
                      c.byteSize ? data : nullptr};
        TensorSet set{0, 1, &tensor};
        std::string problem;
        EXPECT_EQ(qzai::isSoundOutputSet(set, problem), c.sound) << c.what << ": " << problem;
        EXPECT_EQ(problem.empty(), c.sound) << c.what;
    }
}

TEST(OutputValidation, AReplacementInputSetMustMatchThePreparedOne) {
    static char image[] = "image";
    static char other[] = "other";
    static unsigned char data[48];
    int32_t shape[] = {1, 3, 2, 2};
    int32_t wide[] = {1, 3, 1, 4};
    const Tensor prepared{image, QZ_ELEMENT_FLOAT32, 4, shape, 48, data};
    struct Row {
        const char* what;
        Tensor tensor;
        uint32_t count;
        bool matches;
    };
    const Row rows[] = {
        {"the same", prepared, 1, true},
        {"another name", {other, QZ_ELEMENT_FLOAT32, 4, shape, 48, data}, 1, false},
        {"another element type", {image, QZ_ELEMENT_UINT8, 4, shape, 48, data}, 1, false},
        {"another shape of the same size", {image, QZ_ELEMENT_FLOAT32, 4, wide, 48, data}, 1, false},
        {"another rank", {image, QZ_ELEMENT_FLOAT32, 3, shape + 1, 48, data}, 1, false},
        {"fewer bytes", {image, QZ_ELEMENT_FLOAT32, 4, shape, 47, data}, 1, false},
        {"no data", {image, QZ_ELEMENT_FLOAT32, 4, shape, 48, nullptr}, 1, false},
        {"no tensors", prepared, 0, false},
    };
    Tensor want = prepared;
    const TensorSet wanted{0, 1, &want};
    for (const Row& row : rows) {
        Tensor got = row.tensor;
        const TensorSet replacement{0, row.count, &got};
        std::string problem;
        EXPECT_EQ(qzai::matchesInputSet(replacement, wanted, problem), row.matches) << row.what << ": " << problem;
        EXPECT_EQ(problem.empty(), row.matches) << row.what;
    }
}

}  // namespace
