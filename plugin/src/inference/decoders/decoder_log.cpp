#include "inference/decoders/decoder_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "common/log.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

std::atomic<DecoderLogSink*> g_decoderSink{nullptr};

void emitLine(bool warning, const char* format, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    if (warning) {
        logMessage("%s", text);
    } else {
        logInfo("%s", text);
    }
    if (DecoderLogSink* sink = g_decoderSink.load(std::memory_order_acquire)) sink->line(warning, text);
}

}  // namespace

DecoderLogSink* setDecoderLogSink(DecoderLogSink* sink) {
    return g_decoderSink.exchange(sink, std::memory_order_acq_rel);
}

void decoderWarning(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emitLine(true, format, args);
    va_end(args);
}

void decoderVerbose(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emitLine(false, format, args);
    va_end(args);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
