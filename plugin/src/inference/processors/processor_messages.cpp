#include "inference/processors/processor_messages.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "common/log.h"
#include "inference/tensor_utils.h"
#include "inference/tensor_helpers.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr size_t kMaxTensorNameBytes = 2048;  // with the terminator

void writeIdentity(MpWriter& writer, int64_t timestamp, std::string_view deviceId, std::string_view deviceName) {
    writer.str("Timestamp");
    writer.i64(timestamp);
    writer.str("DeviceID");
    writer.str(deviceId);
    writer.str("DeviceName");
    writer.str(deviceName);
}

void writeUserSettings(MpWriter& writer, const std::map<std::string, std::string>& settings) {
    writer.str("UserSettings");
    writer.map(static_cast<uint32_t>(settings.size()));
    for (const auto& [key, value] : settings) {  // std::map: ascending byte order
        writer.str(key);
        writer.str(value);
    }
}

bool tooManyFor(size_t count) { return count > std::numeric_limits<uint32_t>::max(); }

// a * b, or nothing when it overflows.
std::optional<uint64_t> multiply(uint64_t a, uint64_t b) {
    uint64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) return std::nullopt;
    return product;
}

}  // namespace

std::optional<MessageBuffer> serializeTensorsMessage(const InferenceInput_t& request, const TensorSet& tensors,
                                                     const std::map<std::string, std::string>& userSettings) {
    const uint32_t n = tensors.count;
    MpWriter writer;
    if (tooManyFor(userSettings.size()) || (n > 0 && tensors.tensors == nullptr)) {
        writer.bin(nullptr, 1);  // marks the writer failed
    }
    writer.map(userSettings.empty() ? 6 : 7);
    const DeviceAgentDetails_t noDetails;
    const DeviceAgentDetails_t& details = request.details ? *request.details : noDetails;
    writeIdentity(writer, request.timestampUs, details.deviceId, details.deviceName);
    writer.str("Tensors");
    writer.map(n);
    for (uint32_t i = 0; writer.ok() && i < n; ++i) {
        const Tensor& t = tensors.tensors[i];
        writer.str(t.name ? std::string_view(t.name) : std::string_view());
        writer.bin(t.data, t.byteSize);
    }
    writer.str("TensorShapes");
    writer.array(n);
    for (uint32_t i = 0; writer.ok() && i < n; ++i) {
        const Tensor& t = tensors.tensors[i];
        writer.array(t.rank);
        if (t.rank > 0 && t.shape == nullptr) writer.bin(nullptr, 1);
        for (uint32_t d = 0; writer.ok() && d < t.rank; ++d) writer.i32(t.shape[d]);
    }
    writer.str("TensorDataTypes");
    writer.array(n);
    for (uint32_t i = 0; writer.ok() && i < n; ++i) writer.i64(tensors.tensors[i].elementType);
    if (!userSettings.empty()) writeUserSettings(writer, userSettings);
    std::optional<MessageBuffer> out = writer.finish();
    if (!out) logMessage("Error: Failed to serialize tensors for processor.\n");
    return out;
}

TensorSetPtr parseTensorsMessage(const uint8_t* bytes, size_t length) {
    MpReader reader({bytes, bytes == nullptr ? 0 : length});
    MpReader::Node root = reader.root();
    if (reader.parseFailed()) {
        logMessage("Error: failed to parse incoming tensor message\n");
        return nullptr;
    }
    MpReader::Node tensorsNode = reader.find(root, "Tensors");
    const uint32_t n = reader.mapSize(tensorsNode);
    if (!reader.ok()) {
        logMessage("Error: missing or invalid fields in tensor message\n");
        return nullptr;
    }
    TensorSetPtr set(static_cast<TensorSet*>(std::calloc(1, sizeof(TensorSet))));
    if (!set) return nullptr;
    set->id = 0;
    if (n > 0) {
        set->tensors = static_cast<Tensor*>(std::calloc(n, sizeof(Tensor)));
        if (set->tensors == nullptr) return nullptr;
        set->count = n;
    }
    auto fail = [&]() -> TensorSetPtr {
        logMessage("Error: failed to read tensor fields from message\n");
        return nullptr;  // the set frees what it holds
    };
    // Element counts of each tensor, for the density check below.
    std::vector<uint64_t> elements(n, 1);
    MpReader::Node shapes = reader.find(root, "TensorShapes");
    if (reader.arraySize(shapes) < n) reader.fail(MpError::Bounds);
    for (uint32_t i = 0; reader.ok() && i < n; ++i) {
        MpReader::Node dims = reader.arrayAt(shapes, i);
        const uint32_t rank = reader.arraySize(dims);
        if (!reader.ok()) break;
        Tensor& t = set->tensors[i];
        if (rank > 0) {
            t.shape = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * rank));
            if (t.shape == nullptr) return fail();
        }
        t.rank = rank;
        for (uint32_t d = 0; reader.ok() && d < rank; ++d) {
            const int64_t dim = reader.i64(reader.arrayAt(dims, d));
            if (!reader.ok()) break;
            if (dim < 0 || dim > std::numeric_limits<int32_t>::max()) return fail();
            t.shape[d] = static_cast<int32_t>(dim);
            const auto product = multiply(elements[i], static_cast<uint64_t>(dim));
            if (!product) return fail();
            elements[i] = *product;
        }
    }
    MpReader::Node types = reader.find(root, "TensorDataTypes");
    if (reader.ok() && reader.arraySize(types) < n) reader.fail(MpError::Bounds);
    for (uint32_t i = 0; reader.ok() && i < n; ++i) {
        const int32_t type = reader.i32(reader.arrayAt(types, i));
        if (!reader.ok()) break;
        if (type < 0 || elementSizeOf(static_cast<uint32_t>(type)) == 0) return fail();
        set->tensors[i].elementType = static_cast<uint32_t>(type);
    }
    for (uint32_t i = 0; reader.ok() && i < n; ++i) {
        Tensor& t = set->tensors[i];
        char name[kMaxTensorNameBytes];
        if (!reader.copyCString(reader.mapKey(tensorsNode, i), name, sizeof name)) break;
        const std::span<const uint8_t> data = reader.bin(reader.mapValue(tensorsNode, i));
        if (!reader.ok()) break;
        const auto needed = multiply(elements[i], elementSizeOf(t.elementType));
        if (!needed || *needed > data.size()) return fail();
        t.name = strdup(name);
        if (t.name == nullptr) return fail();
        t.byteSize = data.size();
        if (!data.empty()) {
            t.data = std::malloc(data.size());
            if (t.data == nullptr) return fail();
            std::memcpy(t.data, data.data(), data.size());
        }
    }
    if (!reader.ok()) return fail();
    return set;
}

std::optional<ImageRequest> writeImageRequest(const ImageMessageView& image) {
    const std::map<std::string, std::string> none;
    const auto& settings = image.userSettings ? *image.userSettings : none;
    // Upper bound of every header: nine bytes per integer and five per str,
    // bin or container header.
    size_t size = 128 + image.deviceId.size() + image.deviceName.size();
    for (const auto& [key, value] : settings) size += 10 + key.size() + value.size();
    MpWriter writer(size);
    if (tooManyFor(settings.size()) || (image.data.data() == nullptr && !image.data.empty())) writer.bin(nullptr, 1);
    writer.map(settings.empty() ? 4 : 5);
    writeIdentity(writer, image.timestamp, image.deviceId, image.deviceName);
    writer.str("ImageData");
    writer.map(4);
    writer.str("Height");
    writer.u64(image.height);
    writer.str("Width");
    writer.u64(image.width);
    writer.str("Layout");
    writer.i32(image.layout);
    writer.str("Data");
    writer.binHeader(image.data.size());
    const size_t headSize = writer.size();
    if (!settings.empty()) writeUserSettings(writer, settings);
    std::optional<MessageBuffer> message = writer.finish();
    if (!message) {
        logMessage("Error: Failed to serialize image for preprocessor.\n");
        return std::nullopt;
    }
    return ImageRequest{std::move(*message), headSize, image.data};
}

std::optional<MessageBuffer> serializeImageMessage(const ImageMessageView& image) {
    std::optional<ImageRequest> request = writeImageRequest(image);
    if (!request) return std::nullopt;
    MessageBuffer out;
    out.size = request->message.size + request->pixels.size();
    out.data.reset(static_cast<uint8_t*>(std::malloc(std::max<size_t>(out.size, 1))));
    if (!out.data) {
        logMessage("Error: Failed to serialize image for preprocessor.\n");
        return std::nullopt;
    }
    uint8_t* at = out.data.get();
    for (const std::span<const uint8_t> piece : request->pieces()) {
        if (!piece.empty()) std::memcpy(at, piece.data(), piece.size());
        at += piece.size();
    }
    return out;
}

std::optional<MessageBuffer> serializeImageMessage(const ImageMessage& image) {
    ImageMessageView view;
    view.timestamp = image.timestamp;
    view.deviceId = image.deviceId;
    view.deviceName = image.deviceName;
    view.height = image.height;
    view.width = image.width;
    view.layout = image.layout;
    view.data = image.data;
    view.userSettings = &image.userSettings;
    return serializeImageMessage(view);
}

std::optional<ImageMessage> parseImageMessage(std::span<const uint8_t> bytes, std::span<const uint8_t>* pixels) {
    MpReader reader(bytes);
    MpReader::Node root = reader.root();
    if (reader.parseFailed()) {
        std::fputs("Error: failed to parse incoming msgpack message\n", stderr);
        return std::nullopt;
    }
    ImageMessage message;
    message.timestamp = reader.i64(reader.find(root, "Timestamp"));
    message.deviceId = std::string(reader.str(reader.find(root, "DeviceID")));
    message.deviceName = std::string(reader.str(reader.find(root, "DeviceName")));
    MpReader::Node imageData = reader.find(root, "ImageData");
    message.height = reader.u64(reader.find(imageData, "Height"));
    message.width = reader.u64(reader.find(imageData, "Width"));
    message.layout = reader.i32(reader.find(imageData, "Layout"));
    const std::span<const uint8_t> data = reader.bin(reader.find(imageData, "Data"));
    // The frame road reads three float channels per pixel.
    const auto pixelCount = multiply(message.width, message.height);
    const auto needed = pixelCount ? multiply(*pixelCount, 12) : std::nullopt;
    if (!reader.ok() || message.width == 0 || message.height == 0 || !needed || *needed > data.size()) {
        logMessage("Error! Invalid image message received. Ignoring.\n");
        return std::nullopt;
    }
    if (pixels == nullptr) message.data.assign(data.begin(), data.end());
    MpReader::Node settings = reader.findOptional(root, "UserSettings");
    if (reader.type(settings) == MpType::Map) {
        const uint32_t pairs = reader.mapSize(settings);
        for (uint32_t i = 0; reader.ok() && i < pairs; ++i) {
            const std::string_view key = reader.str(reader.mapKey(settings, i));
            const std::string_view value = reader.str(reader.mapValue(settings, i));
            if (reader.ok()) message.userSettings.emplace(key, value);
        }
    }
    if (!reader.ok()) {
        std::fputs("Error: failed to parse incoming image message\n", stderr);
        return std::nullopt;
    }
    if (pixels != nullptr) *pixels = data;
    return message;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
