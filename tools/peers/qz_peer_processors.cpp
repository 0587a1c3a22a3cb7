#include "qz_peer_processors.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <msgpack.h>

namespace qz_peer {

namespace {

using Options = std::map<std::string, std::string>;

std::string optionText(const Options& options, const char* key, const char* fallback) {
    const auto it = options.find(key);
    return it == options.end() ? fallback : it->second;
}

const msgpack_object* lookup(const msgpack_object& map, std::string_view key) {
    if (map.type != MSGPACK_OBJECT_MAP) return nullptr;
    for (uint32_t i = 0; i < map.via.map.size; ++i) {
        const msgpack_object& k = map.via.map.ptr[i].key;
        if (k.type == MSGPACK_OBJECT_STR && std::string_view(k.via.str.ptr, k.via.str.size) == key)
            return &map.via.map.ptr[i].val;
    }
    return nullptr;
}

std::string_view text(const msgpack_object* object) {
    if (!object || object->type != MSGPACK_OBJECT_STR) return {};
    return {object->via.str.ptr, object->via.str.size};
}

// A packer over a growing buffer, with the few shapes the answers need.
struct Writer {
    msgpack_sbuffer buffer;
    msgpack_packer packer;

    Writer() {
        msgpack_sbuffer_init(&buffer);
        msgpack_packer_init(&packer, &buffer, msgpack_sbuffer_write);
    }
    ~Writer() { msgpack_sbuffer_destroy(&buffer); }
    void str(std::string_view s) { msgpack_pack_str_with_body(&packer, s.data(), s.size()); }
    void bin(const void* data, size_t size) { msgpack_pack_bin_with_body(&packer, data, size); }
    void map(uint32_t n) { msgpack_pack_map(&packer, n); }
    void array(uint32_t n) { msgpack_pack_array(&packer, n); }
    void f64(double v) { msgpack_pack_double(&packer, v); }
    void object(const msgpack_object& o) { msgpack_pack_object(&packer, o); }
    // "Timestamp" and "DeviceID" (and "DeviceName" when asked) of the request.
    void identity(const msgpack_object& request, bool withName) {
        for (const char* key : {"Timestamp", "DeviceID", "DeviceName"}) {
            if (!withName && std::strcmp(key, "DeviceName") == 0) continue;
            str(key);
            const msgpack_object* value = lookup(request, key);
            if (value) object(*value);
            else msgpack_pack_nil(&packer);
        }
    }
    std::vector<uint8_t> bytes() const {
        return std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(buffer.data),
                                    reinterpret_cast<const uint8_t*>(buffer.data) + buffer.size);
    }
};

// Mirrors float RGB pixels left to right in place.
void mirror(float* pixels, int64_t width, int64_t height, bool planar) {
    if (planar) {
        for (int64_t row = 0; row < 3 * height; ++row) {
            float* line = pixels + row * width;
            for (int64_t x = 0; x < width / 2; ++x) std::swap(line[x], line[width - 1 - x]);
        }
        return;
    }
    for (int64_t y = 0; y < height; ++y) {
        float* line = pixels + y * width * 3;
        for (int64_t x = 0; x < width / 2; ++x)
            for (int c = 0; c < 3; ++c) std::swap(line[x * 3 + c], line[(width - 1 - x) * 3 + c]);
    }
}

int64_t integer(const msgpack_object* o) {
    if (!o) return 0;
    if (o->type == MSGPACK_OBJECT_POSITIVE_INTEGER) return static_cast<int64_t>(o->via.u64);
    if (o->type == MSGPACK_OBJECT_NEGATIVE_INTEGER) return o->via.i64;
    return 0;
}

std::vector<uint8_t> imageFlip(const msgpack_object& request, const Options& options) {
    const msgpack_object* image = lookup(request, "ImageData");
    const msgpack_object* data = image ? lookup(*image, "Data") : nullptr;
    const int64_t width = integer(image ? lookup(*image, "Width") : nullptr);
    const int64_t height = integer(image ? lookup(*image, "Height") : nullptr);
    const int64_t layout = integer(image ? lookup(*image, "Layout") : nullptr);
    std::vector<float> pixels;
    if (data && data->type == MSGPACK_OBJECT_BIN && width > 0 && height > 0 &&
        data->via.bin.size == static_cast<uint64_t>(width * height * 3) * sizeof(float)) {
        pixels.resize(static_cast<size_t>(width * height * 3));
        std::memcpy(pixels.data(), data->via.bin.ptr, data->via.bin.size);
        mirror(pixels.data(), width, height, layout == 0);
    }
    Writer w;
    w.map(4);
    w.identity(request, true);
    w.str("ImageData");
    w.map(4);
    w.str("Height");
    msgpack_pack_int64(&w.packer, height);
    w.str("Width");
    msgpack_pack_int64(&w.packer, width);
    w.str("Layout");
    msgpack_pack_int64(&w.packer, std::stol(optionText(options, "layout", std::to_string(layout).c_str())));
    w.str("Data");
    w.bin(pixels.data(), pixels.size() * sizeof(float));
    return w.bytes();
}

// The tensors answer: each tensor's bytes and shape through `change`
// (which may edit both), types as sent.
template <class Change>
std::vector<uint8_t> tensorsAnswer(const msgpack_object& request, Change change) {
    const msgpack_object* tensors = lookup(request, "Tensors");
    const msgpack_object* shapes = lookup(request, "TensorShapes");
    const msgpack_object* types = lookup(request, "TensorDataTypes");
    if (!tensors || tensors->type != MSGPACK_OBJECT_MAP || !shapes || shapes->type != MSGPACK_OBJECT_ARRAY ||
        !types || shapes->via.array.size != tensors->via.map.size)
        return {};
    const uint32_t n = tensors->via.map.size;
    std::vector<std::vector<uint8_t>> data(n);
    std::vector<std::vector<int64_t>> dims(n);
    for (uint32_t i = 0; i < n; ++i) {
        const msgpack_object& bin = tensors->via.map.ptr[i].val;
        if (bin.type == MSGPACK_OBJECT_BIN) data[i].assign(bin.via.bin.ptr, bin.via.bin.ptr + bin.via.bin.size);
        const msgpack_object& shape = shapes->via.array.ptr[i];
        if (shape.type == MSGPACK_OBJECT_ARRAY)
            for (uint32_t d = 0; d < shape.via.array.size; ++d) dims[i].push_back(integer(&shape.via.array.ptr[d]));
        change(text(&tensors->via.map.ptr[i].key), data[i], dims[i]);
    }
    Writer w;
    w.map(6);
    w.identity(request, true);
    w.str("Tensors");
    w.map(n);
    for (uint32_t i = 0; i < n; ++i) {
        w.object(tensors->via.map.ptr[i].key);
        w.bin(data[i].data(), data[i].size());
    }
    w.str("TensorShapes");
    w.array(n);
    for (const auto& shape : dims) {
        w.array(static_cast<uint32_t>(shape.size()));
        for (int64_t d : shape) msgpack_pack_int64(&w.packer, d);
    }
    w.str("TensorDataTypes");
    w.object(*types);
    return w.bytes();
}

void tensorFlip(std::string_view, std::vector<uint8_t>& data, std::vector<int64_t>& dims) {
    if (dims.size() != 4 || dims[0] != 1) return;
    const bool planar = dims[1] == 3;
    if (!planar && dims[3] != 3) return;
    const int64_t height = planar ? dims[2] : dims[1];
    const int64_t width = planar ? dims[3] : dims[2];
    if (data.size() != static_cast<size_t>(width * height * 3) * sizeof(float)) return;
    std::vector<float> pixels(data.size() / sizeof(float));
    std::memcpy(pixels.data(), data.data(), data.size());
    mirror(pixels.data(), width, height, planar);
    std::memcpy(data.data(), pixels.data(), data.size());
}

std::vector<uint8_t> objectsAnswer(const msgpack_object& request, const Options& options) {
    const std::string drop = optionText(options, "drop", "");
    const std::string attribute = optionText(options, "attr", "peer");
    const std::string value = optionText(options, "value", "seen");
    const msgpack_object* objects = lookup(request, "Objects");
    std::vector<const msgpack_object_kv*> classes;
    if (objects && objects->type == MSGPACK_OBJECT_MAP)
        for (uint32_t i = 0; i < objects->via.map.size; ++i)
            if (text(&objects->via.map.ptr[i].key) != drop) classes.push_back(&objects->via.map.ptr[i]);
    // Hostile extras: classflood=<n> more classes of fresh names with no
    // objects; noids=<n> entries without "ID" or "NewID" in one more class;
    // idflood=<n> one more class idclass=<name> (square) of n new objects
    // followed by n entries naming ids nobody tracks.
    static long answers = 0;
    const long flood = std::stol(optionText(options, "classflood", "0"));
    const long noIds = std::stol(optionText(options, "noids", "0"));
    const long idFlood = std::stol(optionText(options, "idflood", "0"));
    ++answers;
    Writer w;
    w.map(5);
    w.identity(request, false);
    w.str("Objects");
    w.map(static_cast<uint32_t>(classes.size() + flood + (noIds > 0 ? 1 : 0) + (idFlood > 0 ? 1 : 0)));
    if (idFlood > 0) {
        w.str(optionText(options, "idclass", "square"));
        w.array(static_cast<uint32_t>(2 * idFlood));
        for (long i = 0; i < idFlood; ++i) {
            w.map(6);
            w.str("NewID");
            w.str("");
            for (const char* key : {"x", "y", "width", "height", "confidence"}) {
                w.str(key);
                w.f64(key[0] == 'w' || key[0] == 'h' ? 0.05 : 0.9);
            }
        }
        char id[48];
        for (long i = 0; i < idFlood; ++i) {
            std::snprintf(id, sizeof id, "{FFFF0000-0000-4000-8000-%012ld}", i);
            w.map(1);
            w.str("ID");
            w.str(id);
        }
    }
    for (long i = 0; i < flood; ++i) {
        w.str("flood-" + std::to_string(answers) + "-" + std::to_string(i));
        w.array(0);
    }
    if (noIds > 0) {
        w.str("noid");
        w.array(static_cast<uint32_t>(noIds));
        for (long i = 0; i < noIds; ++i) w.map(0);
    }
    const msgpack_object* shot = nullptr;
    for (const msgpack_object_kv* entry : classes) {
        w.object(entry->key);
        const uint32_t count = entry->val.type == MSGPACK_OBJECT_ARRAY ? entry->val.via.array.size : 0;
        w.array(count);
        for (uint32_t i = 0; i < count; ++i) {
            const msgpack_object* id = lookup(entry->val.via.array.ptr[i], "ID");
            if (!shot) shot = id;
            w.map(2);
            w.str("ID");
            w.str(text(id));
            w.str("attributes");
            w.map(1);
            w.str(attribute);
            w.str(value);
        }
    }
    w.str("Events");
    w.array(1);
    w.map(2);
    w.str("ID");
    w.str(optionText(options, "event", "peer.event"));
    w.str("Description");
    w.str("answered");
    w.str("BestShots");
    w.array(shot ? 1 : 0);
    if (shot) {
        w.map(1);
        w.str("TrackId");
        w.str(text(shot));
    }
    return w.bytes();
}

std::vector<uint8_t> newObjectAnswer(const msgpack_object& request, const Options& options) {
    Writer w;
    w.map(4);
    w.identity(request, false);
    w.str("Objects");
    w.map(1);
    w.str(optionText(options, "class", "square"));
    w.array(1);
    w.map(6);
    w.str("NewID");
    w.str(optionText(options, "newid", "{0E0E0E0E-0000-4000-8000-00000000000A}"));
    const std::pair<const char*, double> numbers[] = {
        {"x", 0.1}, {"y", 0.2}, {"width", 0.3}, {"height", 0.4}, {"confidence", 0.8}};
    for (const auto& [key, number] : numbers) {
        w.str(key);
        w.f64(number);
    }
    w.str("Events");
    w.array(0);
    return w.bytes();
}

}  // namespace

std::optional<std::vector<std::vector<uint8_t>>> processorAnswers(const std::string& behaviour, const Options& options,
                                                                  const std::vector<uint8_t>& request, long index) {
    static const char* const kBehaviours[] = {"imageflip", "tensorflip", "dropclass", "objects", "newobject", "silent"};
    bool known = false;
    for (const char* name : kBehaviours) known = known || behaviour == name;
    if (!known) return std::nullopt;
    const auto crashAfter = options.find("crashafter");
    if (crashAfter != options.end() && index >= std::stol(crashAfter->second)) {
        std::signal(SIGSEGV, SIG_DFL);
        std::raise(SIGSEGV);
    }
    if (behaviour == "silent") return std::vector<std::vector<uint8_t>>{};

    msgpack_unpacked message;
    msgpack_unpacked_init(&message);
    size_t offset = 0;
    std::vector<uint8_t> answer;
    if (msgpack_unpack_next(&message, reinterpret_cast<const char*>(request.data()), request.size(), &offset) ==
        MSGPACK_UNPACK_SUCCESS) {
        const msgpack_object& root = message.data;
        if (behaviour == "imageflip") {
            answer = imageFlip(root, options);
        } else if (behaviour == "tensorflip") {
            answer = tensorsAnswer(root, tensorFlip);
        } else if (behaviour == "dropclass") {
            const float dropped = std::stof(optionText(options, "k", "1"));
            bool first = true;
            answer = tensorsAnswer(root, [&](std::string_view name, std::vector<uint8_t>& data,
                                             std::vector<int64_t>& dims) {
                if (!first || name.find("format:xyxysc") == std::string_view::npos || dims.size() != 2 ||
                    dims[1] != 6 || data.size() != static_cast<size_t>(dims[0] * 6) * sizeof(float))
                    return;
                first = false;
                std::vector<float> rows(data.size() / sizeof(float));
                std::memcpy(rows.data(), data.data(), data.size());
                std::vector<float> kept;
                for (size_t r = 0; r + 6 <= rows.size(); r += 6)
                    if (rows[r + 5] != dropped) kept.insert(kept.end(), rows.begin() + r, rows.begin() + r + 6);
                data.assign(reinterpret_cast<const uint8_t*>(kept.data()),
                            reinterpret_cast<const uint8_t*>(kept.data()) + kept.size() * sizeof(float));
                dims[0] = static_cast<int64_t>(kept.size() / 6);
            });
        } else if (behaviour == "objects") {
            answer = objectsAnswer(root, options);
        } else {
            answer = newObjectAnswer(root, options);
        }
    }
    msgpack_unpacked_destroy(&message);
    return std::vector<std::vector<uint8_t>>{answer};
}

}  // namespace qz_peer
