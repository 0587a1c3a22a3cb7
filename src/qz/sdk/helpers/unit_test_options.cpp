#include "qz/sdk/helpers/unit_test_options.h"

#include <map>
#include <mutex>

#include "qz/sdk/helpers/log.h"
#include "qz/sdk/helpers/string_map.h"

namespace qz::sdk {

namespace {
struct Options {
    std::mutex mutex;
    std::map<std::string, std::string> items;
};

Options& options() {
    static Options instance;
    return instance;
}
}  // namespace

void setUnitTestOptions(const IStringMap* map) {
    if (!map) {
        sdkLog(logPrefix(), "qzSetUnitTestOptions: null options refused");
        return;
    }
    std::map<std::string, std::string> items = toStdMap(map);
    Options& o = options();
    std::lock_guard<std::mutex> lock(o.mutex);
    o.items = std::move(items);
}

std::string unitTestOption(const std::string& key) {
    Options& o = options();
    std::lock_guard<std::mutex> lock(o.mutex);
    auto it = o.items.find(key);
    return it == o.items.end() ? std::string() : it->second;
}

void clearUnitTestOptions() {
    Options& o = options();
    std::lock_guard<std::mutex> lock(o.mutex);
    o.items.clear();
}

}  // namespace qz::sdk
