#include "platform/hard_link.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace qz::vms_server_plugins::analytics::qzai {

bool createHardLink(const std::string& targetPath, const std::string& linkPath, std::string& error) {
    if (::link(targetPath.c_str(), linkPath.c_str()) == 0) return true;
    error = std::error_code(errno, std::generic_category()).message();
    return false;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
