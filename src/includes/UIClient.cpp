#include <exception>

#include "includes/HubEventRequest.h"
#include "includes/ui_host_module_ipc_client.h"
#include "logging/Logger.h"

namespace {
constexpr wchar_t kLogModule[] = L"UIClient";
}

UIClient::UIClient() : ui_host_module_ipc_client(L"UIManager_") {}

UIClient& UIClient::Instance()
{
    // Not destroyed at process exit, where its connections' threads are gone.
    static ExitSafe<UIClient> instance;
    return instance.Get();
}

bool UIClient::TriggerHubEvent(const JsonValue& eventValue)
{
    try
    {
        JsonText text;
        if (!text.Write(eventValue))
        {
            VT_LOG(ERR) << "Failed to add writer object for event value";
            return false;
        }
        return TriggerHubEvent(text.Data());
    }
    catch (const std::exception& e)
    {
        VT_LOG(ERR) << "TriggerHubEvent exception: " << e.what();
    }
    catch (...)
    {
        VT_LOG(ERR) << "TriggerHubEvent unknown exception";
    }
    return false;
}

bool UIClient::TriggerHubEvent(const char* eventValueText)
{
    try
    {
        JsonDocument request;
        BuildHubEventRequest(eventValueText, request);
        return PostRequest(request);
    }
    catch (const std::exception& e)
    {
        VT_LOG(ERR) << "TriggerHubEvent exception: " << e.what();
    }
    catch (...)
    {
        VT_LOG(ERR) << "TriggerHubEvent unknown exception";
    }
    return false;
}
