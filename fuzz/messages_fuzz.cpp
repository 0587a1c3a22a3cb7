// The readers of external-processor input: the MessagePack pre-scan, the
// tensors and image response readers, the response key reader and the parse
// half of both processor configuration loaders. The first byte picks the
// reader; the rest is its input. Accepted tensor sets are checked to be
// dense (every tensor holds the bytes its shape and type need).
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "external/msgpack_io.h"
#include "external/processor_entries.h"
#include "inference/processors/processor_messages.h"
#include "external/response_waiters.h"
#include "inference/tensor_helpers.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t which = data[0] % 6;
    const std::span<const uint8_t> input(data + 1, size - 1);
    switch (which) {
        case 0: {
            const auto scanned = qzai::mpPrescan(input);
            if (scanned && *scanned > input.size()) __builtin_trap();
            break;
        }
        case 1: {
            const auto set = qzai::parseTensorsMessage(input.data(), input.size());
            for (uint32_t i = 0; set && i < set->count; ++i) {
                const Tensor& t = set->tensors[i];
                uint64_t needed = qzai::elementSizeOf(t.elementType);
                for (uint32_t d = 0; d < t.rank; ++d) {
                    if (t.shape[d] < 0) __builtin_trap();
                    needed *= static_cast<uint64_t>(t.shape[d]);
                }
                if (needed > t.byteSize || (t.byteSize > 0 && t.data == nullptr)) __builtin_trap();
            }
            break;
        }
        case 2: {
            // Its two refusal lines go to standard error: silenced for the
            // call only (a crash still leaves its artifact).
            static const int kNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
            std::fflush(stderr);
            const int saved = ::dup(2);
            ::dup2(kNull, 2);
            const auto image = qzai::parseImageMessage(input);
            std::fflush(stderr);
            ::dup2(saved, 2);
            ::close(saved);
            if (image && image->data.size() / 12 / image->width < image->height) __builtin_trap();
            break;
        }
        case 3:
            (void)qzai::readProcessorResponseKey(input);
            break;
        case 4:
            (void)qzai::parseExternalPostprocessors(
                std::string_view(reinterpret_cast<const char*>(input.data()), input.size()), "fuzz");
            break;
        default:
            (void)qzai::parseExternalPreprocessors(
                std::string_view(reinterpret_cast<const char*>(input.data()), input.size()), "fuzz");
            break;
    }
    return 0;
}
