// ScriptedScene: objects moving along piecewise-linear paths, for the tests
// of the frame rules. Paths are box centres in frame fractions at key frames
// (linear in between; an object exists from its first key frame to its
// last). The camera's stage is Stretch over a 640 x 640 model, so a model
// pixel p maps back to p / 640 of the frame: fractions that are multiples of
// 1/640 come back exactly. Frames are 40 ms apart; frame(f) is the detection
// set the model reports for frame f.
//
// The tracker reports an object from its fifth frame (160 ms after its
// first), so the rules first see it at its first key frame + 4.
#pragma once

#include <vector>

#include "postprocessing_fixtures.h"

namespace qz::vms_server_plugins::analytics::qzai::testing {

struct PathKey {
    int frame;
    float cx;
    float cy;
};

struct ScriptedObject {
    std::vector<PathKey> keys;  // by increasing frame
    float width = 0.125f;
    float height = 0.125f;
    int classIndex = 0;  // 0 "car", 1 "person"
};

class ScriptedScene {
public:
    static constexpr int64_t kFrameUs = 40000;
    static constexpr float kModelSide = 640.0f;

    ScriptedScene& add(ScriptedObject object) {
        m_objects.push_back(std::move(object));
        return *this;
    }

    static int64_t timestampUs(int frame) { return frame * kFrameUs; }

    // Rows of every object whose path covers `frame`.
    TensorSetPtr frame(int frame) const {
        std::vector<float> rows;
        for (const ScriptedObject& object : m_objects) {
            float cx = 0.0f, cy = 0.0f;
            if (!centreAt(object, frame, cx, cy)) continue;
            rows.insert(rows.end(), {(cx - object.width / 2) * kModelSide, (cy - object.height / 2) * kModelSide,
                                     (cx + object.width / 2) * kModelSide, (cy + object.height / 2) * kModelSide,
                                     0.9f, static_cast<float>(object.classIndex)});
        }
        return makeDetections(rows);
    }

    static bool centreAt(const ScriptedObject& object, int frame, float& cx, float& cy) {
        const auto& keys = object.keys;
        if (keys.empty() || frame < keys.front().frame || frame > keys.back().frame) return false;
        for (size_t k = 0; k + 1 < keys.size(); ++k) {
            const PathKey& a = keys[k];
            const PathKey& b = keys[k + 1];
            if (frame > b.frame) continue;
            const float t = b.frame == a.frame ? 1.0f : float(frame - a.frame) / float(b.frame - a.frame);
            cx = a.cx + (b.cx - a.cx) * t;
            cy = a.cy + (b.cy - a.cy) * t;
            return true;
        }
        cx = keys.back().cx, cy = keys.back().cy;
        return true;
    }

private:
    std::vector<ScriptedObject> m_objects;
};

}  // namespace qz::vms_server_plugins::analytics::qzai::testing
