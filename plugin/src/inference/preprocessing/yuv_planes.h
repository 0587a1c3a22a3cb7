// YuvPlanes: a read-only view of a YUV 4:2:0 frame in three planes (Y full
// size, U and V at half width and half height, rounded up), as plain
// pointers and line sizes so the conversions can run on any buffer.
//
// The view owns nothing; the planes must outlive it. Thread-safe to read.
#pragma once

#include <cstdint>

namespace qz::sdk::analytics {
class IUncompressedVideoFrame;
}

namespace qz::vms_server_plugins::analytics::qzai {

struct YuvPlanes {
    int32_t width = 0;
    int32_t height = 0;
    const uint8_t* y = nullptr;
    const uint8_t* u = nullptr;
    const uint8_t* v = nullptr;
    int32_t yLineSize = 0;
    int32_t uLineSize = 0;
    int32_t vLineSize = 0;
};

// True when the view can be read: positive size, all three planes present,
// and line sizes at least the width of their planes.
bool isUsable(const YuvPlanes& planes);

// The view of a host frame. Plane 2 is read with its own line size when the
// frame reports one, else with plane 1's. A null frame or a frame with fewer
// than three planes gives a view that is not usable.
YuvPlanes yuvPlanesOf(const qz::sdk::analytics::IUncompressedVideoFrame* frame);

}  // namespace qz::vms_server_plugins::analytics::qzai
