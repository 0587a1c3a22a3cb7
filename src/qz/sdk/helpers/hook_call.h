// callHook: how the base classes run a plug-in hook on behalf of a host call.
//
// A null out-parameter is refused with a log line and the hook is not run
// (its result would have nowhere to go and would leak). An exception from the
// hook is logged and becomes an internalError result; nothing escapes into
// the host.
#pragma once

#include <exception>
#include <string>

#include "qz/sdk/helpers/error.h"
#include "qz/sdk/helpers/log.h"

namespace qz::sdk {

template <class T, class Hook>
void callHook(const std::string& prefix, const char* what, Result<T>* outResult, Hook&& hook) {
    if (!outResult) {
        sdkLog(prefix, "%s: null result pointer; call ignored", what);
        return;
    }
    try {
        *outResult = hook();
    } catch (const std::exception& e) {
        sdkLog(prefix, "%s: exception: %s", what, e.what());
        *outResult = makeError(ErrorCode::internalError, e.what());
    } catch (...) {
        sdkLog(prefix, "%s: unknown exception", what);
        *outResult = makeError(ErrorCode::internalError, "unknown exception");
    }
}

// Logs "<what>: null <argument>" and gives the invalidParams error to return.
inline Error nullArgument(const std::string& prefix, const char* what, const char* argument) {
    sdkLog(prefix, "%s: null %s", what, argument);
    return makeError(ErrorCode::invalidParams, std::string("null ") + argument);
}

}  // namespace qz::sdk
