// The host's decoded video frame, YUV 4:2:0 in three planes (0 = Y, 1 = U,
// 2 = V). The frame and its plane bytes stay valid while a reference to it
// is held. Reading is thread-safe.
#pragma once

#include <cstdint>

#include "qz/sdk/i_ref_countable.h"

namespace qz::sdk::analytics {

class IUncompressedVideoFrame : public IRefCountable {
public:
    static constexpr const char* interfaceId() { return "qz::sdk::analytics::IUncompressedVideoFrame"; }

    virtual int64_t timestampUs() const = 0;
    virtual int width() const = 0;
    virtual int height() const = 0;
    virtual int planeCount() const = 0;
    // Bytes of plane p, or null when the frame has no such plane.
    virtual const uint8_t* data(int plane) const = 0;
    // Line size of plane p in bytes (at least the plane's width), 0 when absent.
    virtual int lineSize(int plane) const = 0;
};

}  // namespace qz::sdk::analytics
