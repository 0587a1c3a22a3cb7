// ClassAdmission: which classes one objects post-processor answer may add to
// a device's tracked classes.
//
// The device takes any class it already holds, any class of the request
// stage's model and any object type its post-processor declares. Beyond
// those it holds at most kMaxOtherClasses classes: each class it already
// holds that is none of those counts once, and so does each new one the
// answer brings, also when the caller drops it again for being empty (which
// bounds the empty classes one answer may name).
//
// The caller holds the device mutex over the whole answer and adds each
// admitted class it did not hold before. Not thread-safe; one lives for one
// answer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>

#include "inference/inference_types.h"
#include "inference/postprocessing/qzai_object.h"

namespace qz::vms_server_plugins::analytics::qzai {

class ClassAdmission {
public:
    static constexpr size_t kMaxOtherClasses = 1024;

    // `classes` is the device's class table; both outlive this object.
    ClassAdmission(const InferenceInput_t& request, const ObjectsByClass& classes);
    ClassAdmission(const ClassAdmission&) = delete;
    ClassAdmission& operator=(const ClassAdmission&) = delete;

    // Whether the device may hold `name`. A new class that is neither the
    // model's nor declared is counted here, so call this once per class the
    // caller then adds.
    bool admit(const std::string& name);

private:
    bool isDeclared(std::string_view name);

    const InferenceInput_t& m_request;
    const ObjectsByClass& m_classes;
    std::unordered_set<std::string_view> m_declared;  // views into the stage's records
    bool m_counted = false;  // m_declared built and m_others counted
    size_t m_others = 0;     // other classes held before the answer, plus those it added
};

}  // namespace qz::vms_server_plugins::analytics::qzai
