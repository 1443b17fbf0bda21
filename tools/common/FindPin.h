// A filter's first pin of a direction, through IBaseFilter alone: a host finds the pins of a
// filter it knows only by its COM interfaces. Any thread the filter takes calls on.
#pragma once

#include <dshow.h>

#include "framework/ComKit.h"

namespace ovts::tools {

// The first pin of the filter with the given direction, or null.
ComPtr<IPin> FindPin(IBaseFilter* filter, PIN_DIRECTION direction);

}  // namespace ovts::tools
