#include "ipc/ipc_common.h"

#include "logging/Logger.h"

namespace ipc {

namespace {
constexpr wchar_t kLogModule[] = L"ipc_common";
}

bool CreateEventHandle(EventHolder& holder, bool manualReset)
{
    if (holder.valid())
        return true;
    HANDLE event = CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr);
    if (event == nullptr)
    {
        const DWORD error = GetLastError();
        VT_LOG(ERR) << "Event creation failed. Error " << error;
        SetLastError(error);
        return false;
    }
    holder.reset(event);
    return true;
}

}  // namespace ipc
