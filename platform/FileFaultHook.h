// Inside the platform layer: what the installed fault hook says about the next file operation.
#pragma once

#include "platform/Platform.h"

namespace ovts::port {

FileFault CheckFileFault(FileOp op);

}  // namespace ovts::port
