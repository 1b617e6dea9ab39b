#include "includes/SettingClient.h"

#include <exception>

#include "logging/Logger.h"

namespace {
constexpr wchar_t kLogModule[] = L"SettingClient";
}

SettingClient::SettingClient() : m_client(L"SettingManager") {}

int32_t SettingClient::GetSetting(const char* name, const SettingScope& scope, std::string& value)
{
    try
    {
        JsonDocument request;
        if (!BuildGetSettingRequest(name, scope, request))
        {
            VT_LOG(ERR) << "Failed to create request json";
            return kSettingRequestNotBuilt;
        }
        JsonDocument reply;
        if (!m_client.SendJsonRequest(request, reply, L"GetSetting"))
        {
            VT_LOG(ERR) << "Error: Failed to send/receive settings manager request";
            return kSettingExchangeFailed;
        }
        int32_t typeCode = 0;
        return ParseGetSettingResponse(reply, value, typeCode);
    }
    catch (const std::exception& e)
    {
        VT_LOG(ERR) << "GetSetting exception: " << e.what();
    }
    catch (...)
    {
        VT_LOG(ERR) << "GetSetting unknown exception";
    }
    return kSettingException;
}
