// Installation of one runtime package (RuntimesManager::installRuntime):
// download into "<cache>/<name>.tar.gz.part", MD5 check, rename to
// "<name>.tar.gz", list and judge every member, unpack into a staging folder
// with tar (no shell), check the unpacked tree against the listing, then
// merge it into the runtime folder with the library last.
//
// Every byte of a package is taken as hostile: members are judged from the
// listing as tar prints it and again on disk, the download is capped, so are
// the entries and bytes both listed and landed (measured while tar unpacks
// and after it, as the listing is no proof of what unpacking writes), a
// listing cut short is refused, and a cancel (user, reselection, shutdown)
// stops whichever stage runs, within a tick of it.
//
// "installed_runtime.txt" is the mark of a complete installation: it goes
// before the merge and the runtime loop writes it again only after Ready, so
// an interrupted installation is never taken for an installed runtime.
#pragma once

#include <chrono>

namespace qz::vms_server_plugins::analytics::qzai {

// Longest a tar run (listing or unpacking) may take.
inline constexpr std::chrono::minutes kPackageTarTimeout{10};

}  // namespace qz::vms_server_plugins::analytics::qzai
