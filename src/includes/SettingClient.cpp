#include "includes/SettingClient.h"

#include <exception>

#include "logging/Logger.h"

namespace {

constexpr wchar_t kLogModule[] = L"SettingClient";

void LogReplyIssue(SettingReplyIssue issue)
{
    switch (issue)
    {
    case SettingReplyIssue::None:
        break;
    case SettingReplyIssue::NoResponseField:
        VT_LOG(ERR) << "Response from Settings Manager server does not have response field";
        break;
    case SettingReplyIssue::WrongSize:
        VT_LOG(ERR) << "Error: response array wrong size";
        break;
    case SettingReplyIssue::DoesNotExist:
        VT_LOG(INF) << "Setting does not exist";
        break;
    case SettingReplyIssue::TypeNotInteger:
        VT_LOG(ERR) << "Error: setting type wrong json type";
        break;
    case SettingReplyIssue::OtherType:
        VT_LOG(ERR) << "Received type different from wanted";
        break;
    }
}

}  // namespace

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
        SettingReplyIssue issue = SettingReplyIssue::None;
        const int32_t result = ParseGetSettingResponse(reply, value, typeCode, issue);
        LogReplyIssue(issue);
        return result;
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
