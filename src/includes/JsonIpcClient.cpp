#include "includes/JsonIpcClient.h"

#include <exception>

#include "logging/Logger.h"

namespace {
constexpr wchar_t kLogModule[] = L"JsonIpcClient";
}

JsonIpcClient::JsonIpcClient(const std::wstring& serviceName)
{
    // Each request waits for readiness itself; construction does not, so a
    // one-time construction keeps nobody waiting behind it.
    if (!m_connection.Begin(serviceName))
        VT_LOG(ERR) << "failed to initialize the pipe client";
}

bool JsonIpcClient::SendJsonRequest(const JsonDocument& request, JsonDocument& reply, std::wstring_view requestName)
{
    try
    {
        JsonText bytes;
        if (!bytes.Write(request))
        {
            VT_LOG(ERR) << "failed to write request to output buffer";
            return false;
        }
        uint32_t replyLength = 0;
        const std::unique_ptr<uint8_t[]> replyData = m_connection.SendRequest(
            std::wstring(requestName), bytes.Data(), static_cast<uint32_t>(bytes.Size()), replyLength);
        if (!replyData)
        {
            VT_LOG(ERR) << "failed to send and receive through pipe communications";
            return false;
        }
        if (!ParseJsonReply(reinterpret_cast<const char*>(replyData.get()), replyLength, reply))
        {
            VT_LOG(ERR) << "failed to parse the response";
            return false;
        }
        return true;
    }
    catch (const std::exception& e)
    {
        VT_LOG(ERR) << "Exception sending/receiving request: " << e.what();
    }
    catch (...)
    {
        VT_LOG(ERR) << "Unknown exception sending/receiving request";
    }
    return false;
}
