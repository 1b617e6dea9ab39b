// One-way requests to the UI host service of the active Windows session,
// over one pipe connection per session.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "base/Lock.h"
#include "includes/JsonDocument.h"
#include "ipc/ClientPipeCommunications.h"
#include "logging/ProcessExit.h"

class ui_host_module_ipc_client
{
public:
    explicit ui_host_module_ipc_client(std::wstring servicePrefix);
    virtual ~ui_host_module_ipc_client();
    ui_host_module_ipc_client(const ui_host_module_ipc_client&) = delete;
    ui_host_module_ipc_client& operator=(const ui_host_module_ipc_client&) = delete;

    // Sends `request` one-way to the active session's UI host; true when the
    // frame was written. Never throws. The lock covers only finding or
    // creating the session's connection; the wait for its readiness and
    // the send run outside it, so concurrent senders never queue behind
    // one connection attempt.
    bool PostRequest(const JsonDocument& request) EXCLUDES(m_lock);

    // Service name of a session's UI host: the prefix and the session ID.
    std::wstring ServiceName(uint32_t sessionId) const;

    size_t ConnectionCount() EXCLUDES(m_lock);

protected:
    // Creates, starts and stores the connection of one session, without
    // waiting for it to become ready.
    bool InitializePipe(uint32_t sessionId) REQUIRES(m_lock);

private:
    // Entries are only added while the client lives, so a connection found
    // under the lock stays valid after it is released.
    using Connection = std::unique_ptr<ipc::ClientPipeCommunications>;

    Groundwork::Mutex m_lock;
    std::map<uint32_t, Connection> m_connections GUARDED_BY(m_lock);
    std::wstring m_prefix;
};

// The process's client of the UI host services ("UIManager_<session>").
class UIClient : public ui_host_module_ipc_client
{
public:
    static UIClient& Instance();

    // Sends the event "EVENT_USER_VANTU_TOAST_RESULT" with the record as its
    // value. True when the request was written to the UI host's pipe.
    bool TriggerHubEvent(const JsonValue& eventValue);
    bool TriggerHubEvent(const char* eventValueText);

private:
    friend class ExitSafe<UIClient>;
    UIClient();
};
