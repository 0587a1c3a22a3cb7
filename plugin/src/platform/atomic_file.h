// Replaces a file's content atomically: readers (and a process killed at any
// moment) see either the old content or the whole new one, never a mix.
//
// The content goes to a temporary of its own, "<path>.tmp" and six unique
// characters, in the same folder (created for the owner, then given mode 0644
// less the process's creation mask, as a plain create would), is flushed to
// disk, then renamed over the target, and the folder is synced so the rename
// itself survives a power loss. On any failure the temporary is removed and
// the target is left as it was; the result names the step that failed and
// the system's text for it.
//
// Thread-safe: writers of the same path at once each leave one whole version,
// the last rename winning. A process killed mid-write may leave its temporary
// behind.
#pragma once

#include <string>
#include <string_view>

namespace qz::vms_server_plugins::analytics::qzai {

struct AtomicWriteResult {
    enum class Step { None, Open, Write, Sync, Close, Rename, SyncFolder };
    Step failedStep = Step::None;
    std::string error;  // the system's text for the failure

    bool ok() const { return failedStep == Step::None; }
};

AtomicWriteResult replaceFileAtomically(const std::string& path, std::string_view content);

}  // namespace qz::vms_server_plugins::analytics::qzai
