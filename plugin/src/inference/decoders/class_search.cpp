#include "inference/decoders/class_search.h"

#include <algorithm>
#include <cstring>

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

typedef float Floats __attribute__((vector_size(16)));
typedef int32_t Ints __attribute__((vector_size(16)));
constexpr int32_t kLanes = 4;
constexpr int32_t kVectors = 4;
constexpr int32_t kBlock = kLanes * kVectors;

// Proposals whose running maxima one pass keeps (8 KB: they stay in the
// first-level cache while the class rows stream past, and each row is read
// in runs of 8 KB, long enough for the hardware to stream a cold input).
constexpr int32_t kChunk = 2048;
// Class rows read side by side: a few sequential streams keep more memory
// reads in flight than one, and few enough for the hardware to follow.
constexpr int32_t kRowsAtOnce = 8;
// How far ahead of the read position each row is prefetched (512 bytes):
// an input fresh from the runtime is in no cache, and the first lines of a
// row run are otherwise waited for one by one.
constexpr int32_t kPrefetchAhead = 128;

// The search in one pass: blocks of 16 proposals kept in four 4-lane
// vectors while every class row passes by; lane-wise "score > best" selects
// the score and class. Each proposal sees the classes in order with a strict
// compare, as the scalar loop at the end does, so both give the same result
// bit for bit.
void searchInterleaved(int32_t begin, int32_t end, int32_t classes, const float* scores,
                       size_t stride, float* best, int32_t* cls) {
    int32_t i = begin;
    for (; end - i >= kBlock; i += kBlock) {
        Floats b[kVectors];
        Ints k[kVectors];
        std::memcpy(b, best + i, sizeof b);
        std::memcpy(k, cls + i, sizeof k);
        for (int32_t c = 0; c < classes; ++c) {
            const float* row = scores + static_cast<size_t>(c) * stride + i;
            const Ints classVector = Ints{} + c;
            for (int32_t v = 0; v < kVectors; ++v) {
                Floats s;
                std::memcpy(&s, row + v * kLanes, sizeof s);
                const Ints above = s > b[v];
                b[v] = reinterpret_cast<Floats>((reinterpret_cast<Ints>(s) & above) |
                                                (reinterpret_cast<Ints>(b[v]) & ~above));
                k[v] = (classVector & above) | (k[v] & ~above);
            }
        }
        std::memcpy(best + i, b, sizeof b);
        std::memcpy(cls + i, k, sizeof k);
    }
    for (int32_t c = 0; c < classes; ++c) {
        const float* row = scores + static_cast<size_t>(c) * stride;
        for (int32_t j = i; j < end; ++j) {
            if (row[j] > best[j]) {
                best[j] = row[j];
                cls[j] = c;
            }
        }
    }
}

// top[j] = the strict running maximum of top[j] and the scores of proposal
// at + j over every class, in class order ("score > top" replaces top, so a
// NaN never enters and of equal values the first stays), for j < count.
// Reads each class row from `at` for `count` scores, kRowsAtOnce rows side
// by side.
void runningMaxima(int32_t at, int32_t count, int32_t classes, const float* scores, size_t stride,
                   float* top) {
    int32_t c = 0;
    for (; classes - c >= kRowsAtOnce; c += kRowsAtOnce) {
        const float* rows = scores + static_cast<size_t>(c) * stride + at;
        int32_t j = 0;
        for (; count - j >= kBlock; j += kBlock) {
            if (static_cast<size_t>(at) + j + kPrefetchAhead < stride) {
                for (int32_t r = 0; r < kRowsAtOnce; ++r) {
                    __builtin_prefetch(rows + r * stride + j + kPrefetchAhead);
                }
            }
            for (int32_t v = 0; v < kVectors; ++v) {
                Floats t;
                std::memcpy(&t, top + j + v * kLanes, sizeof t);
                for (int32_t r = 0; r < kRowsAtOnce; ++r) {
                    Floats s;
                    std::memcpy(&s, rows + r * stride + j + v * kLanes, sizeof s);
                    t = s > t ? s : t;
                }
                std::memcpy(top + j + v * kLanes, &t, sizeof t);
            }
        }
        for (; j < count; ++j) {
            for (int32_t r = 0; r < kRowsAtOnce; ++r) {
                const float s = rows[r * stride + j];
                if (s > top[j]) top[j] = s;
            }
        }
    }
    for (; c < classes; ++c) {
        const float* row = scores + static_cast<size_t>(c) * stride + at;
        for (int32_t j = 0; j < count; ++j) {
            if (row[j] > top[j]) top[j] = row[j];
        }
    }
}

}  // namespace

void searchClassesChannelMajor(int32_t begin, int32_t end, int32_t classes, const float* scores,
                               size_t stride, float* best, int32_t* cls) {
    if (begin >= end) return;

    // Two passes per chunk of proposals, so that each class row is read
    // front to back as memory delivers it best. The first finds each
    // proposal's best score; where that rose above best[i], the second finds
    // its class: the first class whose score equals it. With the strict
    // compare, the last class to raise a proposal's best is the first to
    // hold the final value (an earlier one holding it would have raised the
    // best to it already), so both passes give what one strict pass over the
    // classes in order gives, bit for bit (the value comes from the same
    // sequence of compares).
    float top[kChunk];
    for (int32_t at = begin; at < end; at += kChunk) {
        const int32_t count = std::min(kChunk, end - at);
        std::memcpy(top, best + at, static_cast<size_t>(count) * sizeof(float));
        runningMaxima(at, count, classes, scores, stride, top);
        int32_t raised = 0;
        for (int32_t j = 0; j < count; ++j) raised += top[j] > best[at + j] ? 1 : 0;
        if (raised == 0) continue;
        if (raised > count / 8) {
            // Many to place: one vectorised pass over the chunk's scores,
            // which the first pass has just brought into the cache.
            searchInterleaved(at, at + count, classes, scores, stride, best, cls);
            continue;
        }
        for (int32_t j = 0; j < count; ++j) {
            if (!(top[j] > best[at + j])) continue;
            const float* column = scores + at + j;
            int32_t c = 0;
            while (c + 1 < classes && !(column[static_cast<size_t>(c) * stride] == top[j])) ++c;
            best[at + j] = top[j];
            cls[at + j] = c;
        }
    }
}

}  // namespace qz::vms_server_plugins::analytics::qzai
