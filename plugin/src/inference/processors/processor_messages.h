// The tensors and image messages exchanged with external processors.
//
// Requests are one MessagePack map each, keys in this order:
//   tensors: "Timestamp", "DeviceID", "DeviceName", "Tensors" (name -> bin),
//            "TensorShapes" (arrays of dims), "TensorDataTypes" (codes),
//            then "UserSettings" (str -> str) when not empty;
//   image:   "Timestamp", "DeviceID", "DeviceName", "ImageData" {"Height",
//            "Width", "Layout", "Data"}, then "UserSettings" when not empty.
// Responses are read by key, in any order. A tensors response must describe
// its data densely: every dimension within 0..INT32_MAX, a known element
// type, and at least product(dims) x element size bytes. An image response
// must carry Width x Height x 12 bytes (three float channels) and non-zero
// sizes. Every failure logs one line and gives nothing; nothing allocated on
// a failed path is kept. All functions are thread-safe (no shared state).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "external/msgpack_io.h"
#include "inference/inference_types.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct ImageMessage {
    int64_t timestamp = 0;
    std::string deviceId;
    std::string deviceName;
    uint64_t height = 0;
    uint64_t width = 0;
    int32_t layout = 0;  // 0 channel-planar, anything else interleaved
    std::vector<uint8_t> data;
    std::map<std::string, std::string> userSettings;
};

// An image request whose pixel bytes stay where they are (a frame buffer).
struct ImageMessageView {
    int64_t timestamp = 0;
    std::string_view deviceId;
    std::string_view deviceName;
    uint64_t height = 0;
    uint64_t width = 0;
    int32_t layout = 0;
    std::span<const uint8_t> data;
    const std::map<std::string, std::string>* userSettings = nullptr;  // may be null
};

// Writes the request for `tensors` with the request's frame timestamp and
// camera. Failure logs "Error: Failed to serialize tensors for processor.\n".
std::optional<MessageBuffer> serializeTensorsMessage(const InferenceInput_t& request, const TensorSet& tensors,
                                                     const std::map<std::string, std::string>& userSettings);

// Reads a tensors response into a new set (request id 0).
TensorSetPtr parseTensorsMessage(const uint8_t* bytes, size_t length);

// An image request ready to send without copying its pixels first: the
// message's own bytes, which surround the pixels, and a view of the pixels
// where they already are (the frame must outlive the request). The three
// pieces, sent one after the other, are the whole message.
struct ImageRequest {
    MessageBuffer message;  // everything but the pixels
    size_t headSize = 0;    // bytes of `message` that come before the pixels
    std::span<const uint8_t> pixels;

    std::array<std::span<const uint8_t>, 3> pieces() const {
        const std::span<const uint8_t> all = message.bytes();
        return {all.first(headSize), pixels, all.subspan(headSize)};
    }
};

// Writes an image request around the view's pixels. Failure logs
// "Error: Failed to serialize image for preprocessor.\n".
std::optional<ImageRequest> writeImageRequest(const ImageMessageView& image);

// The same request as one buffer, sized in advance so the pixel bytes are
// copied once.
std::optional<MessageBuffer> serializeImageMessage(const ImageMessageView& image);
std::optional<MessageBuffer> serializeImageMessage(const ImageMessage& image);

// Reads an image response. A message that does not parse, or a user setting
// that is not a str, is reported on standard error; missing or invalid
// fields are logged. With `pixels`, the pixel bytes are not copied: *pixels
// views them inside `bytes` and the message's data stays empty.
std::optional<ImageMessage> parseImageMessage(std::span<const uint8_t> bytes,
                                              std::span<const uint8_t>* pixels = nullptr);

}  // namespace qz::vms_server_plugins::analytics::qzai
