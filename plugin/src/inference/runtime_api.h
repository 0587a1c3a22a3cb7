// The boundary with the AI runtime library: plain C records and the nine
// exported functions, exactly as a runtime library must provide them.
//
// Ownership: every block of a TensorSet (the set, the tensor array, each
// name, shape and data) is a separate malloc allocation (names by strdup).
// A set accepted by runtime_enqueue_input (result 0) belongs to the runtime;
// a set returned by runtime_retrieve_output belongs to the caller, who
// releases it with freeTensorSet() followed by free() of the set.
//
// Threads: runtime_enqueue_input may be called from several threads while
// runtime_retrieve_output runs on another; init, load_models and cleanup are
// called from one thread while nothing else is in progress.
#ifndef QZAI_INFERENCE_RUNTIME_API_H
#define QZAI_INFERENCE_RUNTIME_API_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Element types in the ONNX numbering.
enum {
    QZ_ELEMENT_FLOAT32 = 1,
    QZ_ELEMENT_UINT8 = 2,
    QZ_ELEMENT_INT8 = 3,
    QZ_ELEMENT_UINT16 = 4,
    QZ_ELEMENT_INT16 = 5,
    QZ_ELEMENT_INT32 = 6,
    QZ_ELEMENT_INT64 = 7,
    QZ_ELEMENT_BOOL = 9,
    QZ_ELEMENT_DOUBLE = 11,
    QZ_ELEMENT_UINT32 = 12,
    QZ_ELEMENT_UINT64 = 13,
};

// Result codes the caller relies on; anything else from retrieve is a failure.
enum {
    QZ_RUNTIME_OK = 0,
    QZ_RUNTIME_FUNCTION_MISSING = 2,
    QZ_RUNTIME_TIMEOUT = 12,
};

typedef struct Tensor {
    char* name;            // NUL-terminated
    uint32_t elementType;  // ONNX numbering
    uint32_t rank;
    int32_t* shape;        // [rank]
    uint64_t byteSize;     // size of data in bytes
    void* data;            // densely packed elements
} Tensor;

typedef struct TensorSet {
    uint32_t id;     // request id: the inference engine's slot index
    uint32_t count;  // number of tensors
    Tensor* tensors; // [count]
} TensorSet;

typedef struct RuntimeArgs {
    uint32_t count;
    const char* const* keys;    // null when count is 0
    const char* const* values;  // null when count is 0
} RuntimeArgs;

typedef struct RuntimeModelEntry {
    const char* modelPath;  // decrypted model file
    uint8_t reserved[40];   // zero
} RuntimeModelEntry;

typedef int32_t (*runtime_init_fn)(const RuntimeArgs* args);
typedef int32_t (*runtime_load_models_fn)(uint32_t count, const RuntimeModelEntry* models);
typedef int32_t (*runtime_enqueue_input_fn)(uint32_t modelIndex, TensorSet* input);
typedef int32_t (*runtime_retrieve_output_fn)(void* reserved8, TensorSet** output, uint32_t timeoutMs);
typedef int32_t (*runtime_cleanup_fn)(void);
typedef const char* (*runtime_get_error_fn)(void);
typedef const char* (*runtime_get_version_fn)(void);
typedef const char* (*runtime_get_name_fn)(void);
typedef const char* (*runtime_get_info_fn)(void);

#ifdef __cplusplus
}  // extern "C"

static_assert(sizeof(TensorSet) == 16);
static_assert(offsetof(TensorSet, id) == 0);
static_assert(offsetof(TensorSet, count) == 4);
static_assert(offsetof(TensorSet, tensors) == 8);
static_assert(sizeof(Tensor) == 40);
static_assert(offsetof(Tensor, name) == 0);
static_assert(offsetof(Tensor, elementType) == 8);
static_assert(offsetof(Tensor, rank) == 12);
static_assert(offsetof(Tensor, shape) == 16);
static_assert(offsetof(Tensor, byteSize) == 24);
static_assert(offsetof(Tensor, data) == 32);
static_assert(sizeof(RuntimeArgs) == 24);
static_assert(offsetof(RuntimeArgs, count) == 0);
static_assert(offsetof(RuntimeArgs, keys) == 8);
static_assert(offsetof(RuntimeArgs, values) == 16);
static_assert(sizeof(RuntimeModelEntry) == 48);
static_assert(offsetof(RuntimeModelEntry, modelPath) == 0);
static_assert(offsetof(RuntimeModelEntry, reserved) == 8);
#endif

#endif  // QZAI_INFERENCE_RUNTIME_API_H
