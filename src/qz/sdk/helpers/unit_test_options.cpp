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
    bool claimed = false;  // taken by the running use, not set since
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
    o.claimed = false;
}

std::string unitTestOption(const std::string& key) {
    Options& o = options();
    std::lock_guard<std::mutex> lock(o.mutex);
    auto it = o.items.find(key);
    return it == o.items.end() ? std::string() : it->second;
}

void claimUnitTestOptions() {
    Options& o = options();
    std::lock_guard<std::mutex> lock(o.mutex);
    o.claimed = true;
}

void retireUnitTestOptions() {
    Options& o = options();
    std::lock_guard<std::mutex> lock(o.mutex);
    if (o.claimed) o.items.clear();
    o.claimed = false;
}

}  // namespace qz::sdk
