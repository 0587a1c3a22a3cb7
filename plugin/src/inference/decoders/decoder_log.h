// The log lines of the built-in decoders. Warnings go to the basic level,
// counts to the verbose level (see common/log.h).
//
// A test may install a sink that also receives every formatted line; the
// sink pointer is swapped atomically, and the sink must outlive its
// installation and be safe to call from the threads that decode.
#pragma once

namespace qz::vms_server_plugins::analytics::qzai {

class DecoderLogSink {
public:
    virtual ~DecoderLogSink() = default;
    virtual void line(bool warning, const char* text) = 0;
};

// Installs `sink` (null removes it) and returns the previous one.
DecoderLogSink* setDecoderLogSink(DecoderLogSink* sink);

void decoderWarning(const char* format, ...) __attribute__((format(printf, 1, 2)));
void decoderVerbose(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qz::vms_server_plugins::analytics::qzai
