// Event owners of the transport.
#pragma once

#include <windows.h>

#include "platform/ScopedHandle.h"

namespace ipc {

using ScopedHandle = Groundwork::ScopedHandle;

// The holder of one event of the transport.
using EventHolder = ScopedHandle;

// Creates an unnamed, non-signalled event in `holder` unless it already holds
// one. Logs and fails when the system refuses.
bool CreateEventHandle(EventHolder& holder, bool manualReset);

}  // namespace ipc
