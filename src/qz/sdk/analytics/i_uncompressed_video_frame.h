// The host's decoded video frame (IUncompressedVideoFrame), declared with
// the other interfaces in qz/sdk/interface_ids.h.
#pragma once

#include "qz/sdk/interface_ids.h"
