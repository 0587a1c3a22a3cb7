#include "inference/postprocessing/class_admission.h"

#include "external/processor_config.h"

namespace qz::vms_server_plugins::analytics::qzai {

ClassAdmission::ClassAdmission(const InferenceInput_t& request, const ObjectsByClass& classes)
    : m_request(request), m_classes(classes) {}

bool ClassAdmission::isDeclared(std::string_view name) { return m_declared.count(name) != 0; }

bool ClassAdmission::admit(const std::string& name) {
    if (m_classes.count(name) != 0) return true;
    if (!m_counted) {
        // Built at the first class the device does not hold yet, before this
        // answer added any other class, so the count below holds each once.
        if (const pipeline_stage_parameters_t* stage = m_request.stage) {
            if (stage->model)
                for (const std::string& className : stage->model->classNames) m_declared.insert(className);
            if (stage->postprocessor)
                for (const auto& type : stage->postprocessor->objectTypes) {
                    m_declared.insert(type.name);
                    m_declared.insert(type.id);
                }
        }
        for (const auto& [held, list] : m_classes) m_others += isDeclared(held) ? 0 : 1;
        m_counted = true;
    }
    if (isDeclared(name)) return true;
    if (m_others >= kMaxOtherClasses) return false;
    ++m_others;
    return true;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
