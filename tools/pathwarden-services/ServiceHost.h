// One hosted service: its first pipe, the handshake with every client that
// connects there, and a transport pipe per client on which requests are
// answered and events recorded. Each client is served on a thread of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <windows.h>

#include "Options.h"
#include "Requests.h"
#include "ServerPipe.h"

namespace services {

// Appends event lines to a file or standard output, one write per line.
class EventSink
{
public:
    bool Open(const std::wstring& path);
    void Write(const std::string& line);

private:
    std::mutex m_lock;
    ipc::ScopedHandle m_file;
    HANDLE m_handle = nullptr;  // m_file, or standard output
};

// What every service of the program shares.
struct HostContext
{
    HANDLE stopEvent = nullptr;
    const Options* options = nullptr;
    const Settings* settings = nullptr;  // null when "SettingManager" is not hosted
    EventSink* events = nullptr;
    std::atomic<uint32_t> transportCounter{0};
    // --handshake foreign-transport: the pipe another process serves.
    std::wstring foreignTransportPath;
};

// Standard error report when --verbose; failures also go to the log.
void Report(const HostContext& context, const std::wstring& text);

class ServiceHost
{
public:
    enum class Kind
    {
        kService,  // handshake, then the transport protocol
        kRawEcho,  // no handshake; protocol-1 frames are echoed as they are
    };

    ServiceHost(HostContext& context, std::wstring name, std::wstring firstPipePath, Kind kind);
    ~ServiceHost();
    ServiceHost(const ServiceHost&) = delete;
    ServiceHost& operator=(const ServiceHost&) = delete;

    // Creates the first pipe instance and starts listening on it.
    bool Listen();
    // Accepts clients on a thread of its own until the stop event is set.
    void Start();
    // Waits for the accept thread and every client thread.
    void Join();

    const std::wstring& Name() const { return m_name; }
    const std::wstring& FirstPipePath() const { return m_firstPipePath; }

private:
    struct Session
    {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void AcceptLoop();
    void ReapSessions(bool all);
    void ServeClient(std::unique_ptr<ServerPipe> first);
    void ServeTransport(ServerPipe& pipe);
    // --pause-reading: false when the program is stopping meanwhile.
    bool PauseReading();
    void ServeRawEcho(ServerPipe& pipe);

    HostContext& m_context;
    std::wstring m_name;
    std::string m_narrowName;
    std::wstring m_firstPipePath;
    Kind m_kind;
    std::unique_ptr<ServerPipe> m_listening;
    std::thread m_acceptThread;
    std::mutex m_sessionsLock;
    std::list<Session> m_sessions;
};

}  // namespace services
