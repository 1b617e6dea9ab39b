// Client-side helpers shared by the transport and stress tests.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>

#include "ipc/ClientPipeCommunications.h"

namespace ipctest {

// A client whose request counter, pending table and clock the test can see.
class TestClient : public ipc::ClientPipeCommunications
{
public:
    explicit TestClient(int64_t summaryTicks = RepeatedFailures::kFirstSummaryTicks)
        : ClientPipeCommunications(summaryTicks)
    {
    }
    using ClientPipeCommunications::PendingRequestIds;
    using ClientPipeCommunications::SetLastRequestId;

    // Moves the stale check's clock forward.
    std::atomic<int64_t> clockOffset{0};

protected:
    int64_t CurrentTime() const override { return ClientPipeCommunications::CurrentTime() + clockOffset.load(); }
};

inline std::string EchoRequest(const std::string& text)
{
    return "{\"VERB\":\"echo\",\"PAYLOAD\":\"" + text + "\"}";
}

// The reply as text, or "<none>".
inline std::string Send(ipc::ClientPipeCommunications& client, const std::string& request,
                        const std::wstring& name = L"Test")
{
    uint32_t length = 0;
    const auto reply = client.SendRequest(name, request.data(), static_cast<uint32_t>(request.size()), length);
    return reply ? std::string(reinterpret_cast<const char*>(reply.get()), length) : std::string("<none>");
}

// Polls a condition until it holds or `ms` passed.
inline bool WaitFor(const std::function<bool()>& condition, DWORD ms = 20000)
{
    const ULONGLONG deadline = GetTickCount64() + ms;
    while (!condition())
    {
        if (GetTickCount64() > deadline)
            return false;
        Sleep(2);
    }
    return true;
}

}  // namespace ipctest
