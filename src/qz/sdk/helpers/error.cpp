#include "qz/sdk/helpers/error.h"

#include "qz/sdk/helpers/string.h"

namespace qz::sdk {

std::string toString(ErrorCode code) {
    switch (code) {
        case ErrorCode::noError: return "noError";
        case ErrorCode::unauthorized: return "unauthorized";
        case ErrorCode::notImplemented: return "notImplemented";
        case ErrorCode::networkError: return "networkError";
        case ErrorCode::otherError: return "otherError";
        case ErrorCode::needMoreData: return "needMoreData";
        case ErrorCode::inProgress: return "inProgress";
        case ErrorCode::internalError: return "internalError";
        case ErrorCode::invalidParams: return "invalidParams";
    }
    return "unknown error code " + std::to_string(static_cast<int>(code));
}

Error makeError(ErrorCode code, const std::string& message) {
    if (message.empty()) return Error(code, nullptr);
    return Error(code, makePtr<String>(message));
}

std::string errorMessage(const Error& error) { return toStdString(error.errorMessage()); }

}  // namespace qz::sdk
