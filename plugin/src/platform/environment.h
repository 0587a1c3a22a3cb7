// ProcessEnvironment: a fixed set of "NAME=value" environment entries.
//
// current() is a copy of this process's environment taken on first use and
// kept until forgetCurrent() (when a host has finished with the library, so
// that the next host's load sees the environment as it is then); the plug-in
// never changes its own environment (no setenv), so the copy stays true in
// between. Tests build their own from entries. Immutable after construction,
// so safe to read from any thread; current() and forgetCurrent() may be
// called from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qz::vms_server_plugins::analytics::qzai {

class ProcessEnvironment {
public:
    ProcessEnvironment() = default;
    explicit ProcessEnvironment(std::vector<std::string> entries) : m_entries(std::move(entries)) {}

    static ProcessEnvironment current();
    static void forgetCurrent();

    // The value of the first entry named `name` (names are case-sensitive);
    // empty when there is none. An entry without '=' names nothing.
    std::optional<std::string> get(std::string_view name) const;
    // The entries as given, for a child process's environment.
    const std::vector<std::string>& entries() const { return m_entries; }

private:
    std::vector<std::string> m_entries;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
