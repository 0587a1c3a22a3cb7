// libFuzzer target for the external-process transports:
// - the TCP frame reader over input split into fuzz-chosen pieces: every
//   frame it returns must be the bytes the stream announced, it must stop
//   cleanly otherwise, and its buffer must stay within the cap and within
//   a small multiple of what arrived;
// - the shared-memory receive over a fuzzed signal byte and length, in a
//   channel whose two ends live in this process: a message it hands out must
//   lie inside the committed segment (a read past it faults);
// - the channel descriptor parser.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "external/ipc_channel.h"
#include "external/tcp_frame.h"
#include "platform/futex_event.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

void fuzzFrames(FuzzedDataProvider& input) {
    std::vector<size_t> pieces;
    const size_t pieceCount = input.ConsumeIntegralInRange<size_t>(0, 16);
    for (size_t i = 0; i < pieceCount; ++i) pieces.push_back(input.ConsumeIntegralInRange<size_t>(1, 9000));
    const bool endsByTimeout = input.ConsumeBool();
    const std::vector<uint8_t> stream = input.ConsumeRemainingBytes<uint8_t>();
    size_t at = 0;
    size_t piece = 0;
    auto receive = [&](uint8_t* into, size_t atMost) -> long {
        if (at >= stream.size()) return endsByTimeout ? -1 : 0;
        size_t take = std::min(atMost, stream.size() - at);
        if (!pieces.empty()) take = std::min(take, pieces[piece++ % pieces.size()]);
        std::memcpy(into, stream.data() + at, take);
        at += take;
        return static_cast<long>(take);
    };
    qzai::ReceiveBuffer buffer;
    for (;;) {
        const size_t frameStart = at;
        uint32_t announced = 0;
        const qzai::TcpFrameStatus status = qzai::readTcpFrame(receive, buffer, &announced);
        // Room is made at most one step ahead of the bytes that arrived.
        if (buffer.capacity() > 3 * std::max<size_t>(stream.size(), 64 * 1024) ||
            buffer.capacity() > size_t{qzai::kTcpMaxFrameBytes} + 64 * 1024) {
            std::abort();
        }
        if (status != qzai::TcpFrameStatus::Complete) {
            if (buffer.size() != 0) std::abort();
            return;
        }
        if (buffer.size() != announced || frameStart + 4 + announced != at ||
            (announced > 0 && std::memcmp(buffer.data(), stream.data() + frameStart + 4, announced) != 0)) {
            std::abort();
        }
    }
}

struct InProcessChannel {
    InProcessChannel() {
        created = qzai::ipcChannelCreate(1024);
        char* descriptor = qzai::ipcChannelSerializeDescriptor(created);
        opened = qzai::ipcChannelOpen(descriptor);
        std::free(descriptor);
        if (opened == nullptr) std::abort();
    }
    ~InProcessChannel() {
        qzai::ipcChannelDestroy(opened);
        qzai::ipcChannelDestroy(created);
    }
    qzai::IpcChannel* created = nullptr;
    qzai::IpcChannel* opened = nullptr;
};

void fuzzSharedMemoryReceive(FuzzedDataProvider& input) {
    static InProcessChannel channel;
    const uint8_t byte = input.ConsumeIntegral<uint8_t>();
    const uint32_t length = input.ConsumeIntegral<uint32_t>();
    std::memcpy(channel.opened->data.view, &length, sizeof length);
    std::atomic_ref<uint8_t>(*channel.opened->slot1).store(byte);
    qzai::futexEventSet(reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(channel.opened->control.view) +
                                                    channel.opened->event1));
    const uint8_t* message = nullptr;
    uint32_t received = 0;
    if (qzai::ipcChannelReceive(channel.created, &message, &received, 0) == qzai::kIpcOk) {
        if (received != length || received > channel.created->data.capacity - 4) std::abort();
        volatile uint8_t sum = 0;
        for (uint32_t i = 0; i < received; ++i) sum = static_cast<uint8_t>(sum + message[i]);
        qzai::ipcChannelAcknowledge(channel.created);
    }
    // Take whatever the receive signalled back, as the child would.
    qzai::futexEventWait(reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(channel.opened->control.view) +
                                                     channel.opened->event0),
                         0);
}

void fuzzDescriptor(FuzzedDataProvider& input) {
    const std::string text = input.ConsumeRemainingBytesAsString();
    qzai::IpcDescriptorFields fields;
    if (qzai::parseIpcChannelDescriptor(text.c_str(), &fields)) {
        if (fields.controlName.size() >= qzai::kSharedMemoryNameBytes ||
            fields.dataName.size() >= qzai::kSharedMemoryNameBytes) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    switch (input.ConsumeIntegralInRange<int>(0, 2)) {
        case 0:
            fuzzFrames(input);
            break;
        case 1:
            fuzzSharedMemoryReceive(input);
            break;
        default:
            fuzzDescriptor(input);
            break;
    }
    return 0;
}
