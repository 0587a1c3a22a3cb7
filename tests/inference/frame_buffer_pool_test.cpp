#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "common/frame_buffer_pool.h"
#include "inference/video_frame.h"
#include "support/manager_fixture.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

qzai::HeapArray<uint8_t> filledArray(size_t bytes, uint8_t value) {
    qzai::HeapArray<uint8_t> buffer;
    buffer.allocate(bytes);
    std::fill(buffer.data(), buffer.data() + bytes, value);
    return buffer;
}

bool sameBytes(const qzai::VideoFrame& a, const qzai::VideoFrame& b) {
    return a.data().size() == b.data().size() &&
           std::memcmp(a.data().data(), b.data().data(), a.data().size()) == 0;
}

}  // namespace

TEST(FrameBufferPool, HandsOutOnlyIdleBuffersOfTheExactSizeAndKeepsAtMostItsCapacity) {
    qzai::FrameBufferPool pool(2);
    auto small = filledArray(64, 1);
    const uint8_t* smallBlock = small.data();
    pool.give(std::move(small));
    pool.give(qzai::HeapArray<uint8_t>());  // empty: ignored
    EXPECT_EQ(pool.idle(), 1u);

    auto other = pool.take(128);  // no idle buffer of that size: a new one
    EXPECT_EQ(other.size(), 128u);
    EXPECT_NE(other.data(), smallBlock);
    auto reused = pool.take(64);
    EXPECT_EQ(reused.data(), smallBlock);
    EXPECT_EQ(pool.idle(), 0u);
    EXPECT_TRUE(pool.take(0).empty());

    // A full pool frees its oldest idle buffer.
    pool.give(std::move(reused));
    pool.give(std::move(other));
    pool.give(filledArray(32, 3));
    EXPECT_EQ(pool.idle(), 2u);
    EXPECT_EQ(pool.take(64).size(), 64u);  // the 64-byte buffer is gone: a new one
    EXPECT_EQ(pool.idle(), 2u);
    EXPECT_EQ(pool.take(128).size(), 128u);
    EXPECT_EQ(pool.idle(), 1u);
    pool.clear();
    EXPECT_EQ(pool.idle(), 0u);

    qzai::FrameBufferPool none(0);
    none.give(filledArray(64, 1));
    EXPECT_EQ(none.idle(), 0u);
}

TEST(FrameBufferPool, PooledFramesMatchPlainOnesAndGiveTheirBufferBackWhenLastReleased) {
    auto pool = std::make_shared<qzai::FrameBufferPool>(4);
    auto host = manager_test::makeFrame(37, 23, 0, {{5, 4, 9}});
    auto other = manager_test::makeFrame(37, 23, 0, {{20, 10, 6, 90}});

    for (uint32_t layout : {0u, 1u}) {
        const qzai::VideoFrame plain(host.get(), layout);
        const uint8_t* block = nullptr;
        {
            auto pooled = std::make_shared<qzai::VideoFrame>(host.get(), layout, pool);
            EXPECT_TRUE(sameBytes(*pooled, plain));
            EXPECT_EQ(pooled->width(), 37);
            EXPECT_EQ(pooled->format(), layout);
            block = pooled->data().data();
            auto holder = pooled;  // a request still holding the frame
            pooled.reset();
            EXPECT_EQ(pool->idle(), 0u);
        }
        EXPECT_EQ(pool->idle(), 1u);

        // The next frame reuses the block and overwrites all of it.
        const qzai::VideoFrame next(other.get(), layout, pool);
        EXPECT_EQ(next.data().data(), block);
        EXPECT_TRUE(sameBytes(next, qzai::VideoFrame(other.get(), layout)));
    }

    // Unreadable frames take nothing; a frame outlives the pool's owner.
    EXPECT_TRUE(qzai::VideoFrame(nullptr, 0, pool).data().empty());
    auto survivor = std::make_shared<qzai::VideoFrame>(host.get(), 0, pool);
    pool.reset();
    EXPECT_FALSE(survivor->data().empty());
    EXPECT_TRUE(sameBytes(*survivor, qzai::VideoFrame(host.get(), 0u)));
}
