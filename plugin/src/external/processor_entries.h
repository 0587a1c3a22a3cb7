// The parse half of the processor loaders (see processor_config.h): text to
// entries, with no process started, and the texts both halves log.
#pragma once

#include "external/processor_config.h"

namespace qz::vms_server_plugins::analytics::qzai {

// The texts of one kind of processor.
struct ProcessorKindTexts {
    const char* folder;
    const char* file;
    const char* notFound;
    const char* openFailed;
    const char* parseFailed;
    const char* rootNotArray;
    const char* nonObject;
    const char* missingName;
    const char* noCommandOrPort;
    const char* portOutOfRange;
    const char* duplicateName;
    const char* startFailed;
    const char* initialized;
};

extern const ProcessorKindTexts kPostprocessorTexts;
extern const ProcessorKindTexts kPreprocessorTexts;

}  // namespace qz::vms_server_plugins::analytics::qzai
