// Helpers over qz::sdk::Error and qz::sdk::Result (declared with the
// interfaces in qz/sdk/interface_ids.h).
#pragma once

#include <string>

#include "qz/sdk/interface_ids.h"

namespace qz::sdk {

// "noError", "unauthorized", ... ; "unknown error code <n>" otherwise.
std::string toString(ErrorCode code);

// An Error with the code and a message text (no message when empty).
Error makeError(ErrorCode code, const std::string& message);

// The message of an error as text, empty when it has none.
std::string errorMessage(const Error& error);

}  // namespace qz::sdk
