#include "includes/ui_host_module_ipc_client.h"

#include <exception>
#include <new>

#include "logging/Logger.h"
#include "platform/SessionUtils.h"

namespace {
constexpr wchar_t kLogModule[] = L"ui_host_module_ipc_client";
}

ui_host_module_ipc_client::ui_host_module_ipc_client(std::wstring servicePrefix) : m_prefix(std::move(servicePrefix))
{
}

ui_host_module_ipc_client::~ui_host_module_ipc_client() = default;

std::wstring ui_host_module_ipc_client::ServiceName(uint32_t sessionId) const
{
    return m_prefix + std::to_wstring(sessionId);
}

bool ui_host_module_ipc_client::PostRequest(const JsonDocument& request)
{
    try
    {
        JsonText bytes;
        if (!bytes.Write(request))
        {
            VT_LOG(ERR) << "failed to write request to output buffer";
            return false;
        }
        uint32_t sessionId = Groundwork::kNoSession;
        if (!Groundwork::GetOwnOrActiveSessionId(sessionId) || sessionId == Groundwork::kNoSession)
        {
            VT_LOG(ERR) << "Failed to retrieve active user session ID";
            VT_LOG(ERR) << "Failed to get pipe";
            return false;
        }

        ipc::ClientPipeCommunications* connection = nullptr;
        {
            Groundwork::MutexLock guard(m_lock);
            auto entry = m_connections.find(sessionId);
            if (entry == m_connections.end() && InitializePipe(sessionId))
                entry = m_connections.find(sessionId);
            if (entry != m_connections.end())
                connection = entry->second.get();
        }
        if (!connection)
        {
            VT_LOG(ERR) << "Failed to get pipe";
            return false;
        }
        return connection->SendMessage(bytes.Data(), static_cast<uint32_t>(bytes.Size()));
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

bool ui_host_module_ipc_client::InitializePipe(uint32_t sessionId)
{
    Connection connection;
    try
    {
        connection.reset(new (std::nothrow) ipc::ClientPipeCommunications());
        if (!connection)
        {
            VT_LOG(ERR) << "Could not create pipe communications object";
            return false;
        }
        const std::wstring name = ServiceName(sessionId);
        if (!connection->Begin(name))
        {
            VT_LOG(ERR) << "Failed to initialize the pipe client: " << name;
            return false;
        }
        m_connections.emplace(sessionId, std::move(connection));
        return true;
    }
    catch (const std::exception& e)
    {
        VT_LOG(ERR) << "Exception when initializing pipe: " << e.what();
        return false;
    }
}

size_t ui_host_module_ipc_client::ConnectionCount()
{
    Groundwork::MutexLock guard(m_lock);
    return m_connections.size();
}
