// Writes the seed corpus of qzai_messages_fuzz into a folder: requests the
// writers make (which read back as responses) and configuration texts, each
// behind the byte that picks its reader.
#include <fstream>
#include <string>

#include "inference/processors/processor_messages.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

void write(const std::string& folder, const std::string& name, char reader, const uint8_t* data, size_t size) {
    std::ofstream out(folder + "/" + name, std::ios::binary);
    out.put(reader);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

void write(const std::string& folder, const std::string& name, char reader, const std::string& text) {
    write(folder, name, reader, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const std::string folder = argv[1];
    float values[6] = {1, 2, 3, 4, 5, 6};
    int32_t shape[2] = {2, 3};
    char name[] = "scores";
    Tensor tensor{name, 1, 2, shape, sizeof values, values};
    TensorSet set{0, 1, &tensor};
    qzai::InferenceInput_t request;
    request.timestampUs = 1700000000000000;
    request.details = std::make_shared<qzai::DeviceAgentDetails_t>(qzai::DeviceAgentDetails_t{"cam-1", "Gate"});
    const auto tensors = qzai::serializeTensorsMessage(request, set, {{"threshold", "0.5"}});
    qzai::ImageMessage image;
    image.timestamp = 42;
    image.deviceId = "cam-1";
    image.deviceName = "Gate";
    image.width = 2;
    image.height = 2;
    image.data.assign(48, 1);
    image.userSettings = {{"a", "b"}};
    const auto picture = qzai::serializeImageMessage(image);
    if (!tensors || !picture) return 1;
    for (char reader : {0, 1, 3}) write(folder, "tensors-" + std::to_string(reader), reader, tensors->data.get(), tensors->size);
    for (char reader : {0, 2}) write(folder, "image-" + std::to_string(reader), reader, picture->data.get(), picture->size);
    write(folder, "post", 4,
          R"([{"Name": "a", "Command": "x", "Port": 5000, "TimeoutMs": 20, "Config": {"k": "v", "n": 1},)"
          R"( "Objects": [{"ID": "o", "Name": "O"}, 3], "UserSettings": [{}], "Schedule": "TENSOR"}, 7])");
    write(folder, "pre", 5, R"([{"Name": "p", "Command": "x", "NoResponse": true, "TimeoutMs": 3000000000}])");
    return 0;
}
