#include "qz/sdk/helpers/sdk_version.h"
