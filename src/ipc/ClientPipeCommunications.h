// One client's link to one product service: finds the service's pipe in the
// registry, authenticates on it, moves to the transport pipe the service
// names, and then carries requests (answered, matched by a 32-bit
// identifier), one-way messages, subscriptions and event notifications.
// Every failure drops the connection and starts over from the registry pipe.
//
// States: 0 disconnected, 1 connecting to the registry pipe, 2 handshake
// sent, 3 authenticated and connecting to the transport pipe, 4 ready.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/Lock.h"
#include "ipc/background_task_runner.h"
#include "ipc/ClientPipe.h"
#include "ipc/ipc_stats_collector.h"
#include "logging/RepeatedFailures.h"

namespace ipc {

class ClientPipeCommunications : public ClientPipe
{
public:
    enum State : uint32_t
    {
        kDisconnected = 0,
        kConnecting = 1,
        kHandshakeSent = 2,
        kAuthenticated = 3,
        kReady = 4,
    };

    static constexpr DWORD kReplyWaitMs = 1000;
    static constexpr DWORD kReadyWaitMs = 300;
    static constexpr uint32_t kDefaultSpinCount = 5;
    static constexpr uint32_t kMissingPipeSpinCount = 1;
    static constexpr int64_t kStaleTicks = 300'000'000;  // 30 s in 100-ns ticks
    static constexpr uint32_t kStatsRefreshInterval = 10;
    // Longest wait of the destructor for callers still inside a request.
    static constexpr DWORD kTeardownWaitMs = 5000;

    // Handler of an event notification: name, value, data block.
    using EventHandler =
        std::function<void(const std::string& name, const std::string& value, const uint8_t* data, uint32_t size)>;

    // `summaryTicks`: the first interval of the summaries of repeated
    // failures (shorter in tests).
    explicit ClientPipeCommunications(int64_t summaryTicks = RepeatedFailures::kFirstSummaryTicks);
    ~ClientPipeCommunications() override;

    // `name` is the registry value naming the service's pipe and labels
    // every log record of this object. Begin, then wait for readiness.
    bool Initialize(const std::wstring& name);
    // Starts the connection thread and returns without waiting: every send
    // waits for readiness itself. For owners that create a connection under
    // a lock of their own, so that nobody waits behind the creation.
    bool Begin(const std::wstring& name);

    // Sends a protocol-1 request and waits up to kReplyWaitMs for its reply.
    // Returns the reply data (owned by the caller) or nothing. The request
    // name only names the request in time-out statistics.
    std::unique_ptr<uint8_t[]> SendRequest(const std::wstring& requestName, const void* bytes,
                                           uint32_t length, uint32_t& replyLength) EXCLUDES(m_pendingLock);
    // Sends a protocol-2 one-way message; true when the frame was written.
    bool SendMessage(const void* bytes, uint32_t length) EXCLUDES(m_pendingLock);

    uint32_t GetState() const { return m_state.load(); }
    uint32_t GetSpinCount() const { return m_spinCount.load(); }
    const std::wstring& Name() const { return m_name; }
    // Waits up to `timeoutMs` for the ready state (for tools and tests).
    bool WaitForReady(DWORD timeoutMs) const;

protected:
    // ClientPipe notifications, all on the connection thread.
    void ConnectionFailed() override;
    void Connected() override;
    void Idle() override;
    void WaitPipeResult(DWORD error) override;
    size_t ProcessReceivedData(const uint8_t* bytes, size_t length) override;
    std::wstring GetPipeName() override;

    // System time in 100-ns ticks since 1970; the stale check's clock.
    virtual int64_t CurrentTime() const;

    // Request identifier counter, and the identifiers of the requests
    // waiting for a reply (pending lock taken here).
    void SetLastRequestId(uint32_t id) EXCLUDES(m_pendingLock);
    std::vector<uint32_t> PendingRequestIds() EXCLUDES(m_pendingLock);

    ipc_stats_collector& Stats() { return m_stats; }

private:
    struct PendingEntry
    {
        uint32_t id = 0;
        // Owned by the waiting request; set at most once, then forgotten
        // (null once the reply arrived or the connection failed).
        HANDLE completion = nullptr;
        std::unique_ptr<uint8_t[]> reply;
        uint32_t replyLength = 0;
    };
    static constexpr size_t kEventPoolLimit = 64;
    // Bytes of event notifications waiting for the task runner.
    static constexpr uint32_t kEventQueueBudget = 16u << 20;

    void SetState(State state);
    bool RunHandshake();
    void OnMessage(const uint8_t* frame, uint32_t size);
    void OnHandshakeAnswer(const uint8_t* frame, uint32_t size);
    // Wakes the caller after the pending lock is released.
    void OnReply(const uint8_t* frame, uint32_t size) EXCLUDES(m_pendingLock);
    // The handler runs on the task runner, outside the subscription lock.
    void OnEvent(const uint8_t* frame, uint32_t size) EXCLUDES(m_subscriptionLock);
    void StaleCheck();
    void FailPendingRequests() EXCLUDES(m_pendingLock);
    void SetSpinCount(uint32_t count);

    bool WaitReady();
    void SendAccounting() EXCLUDES(m_stats.Lock());
    void RecordClientFailure(const wchar_t* tag) EXCLUDES(m_stats.Lock());
    void CountDirect(const wchar_t* key) EXCLUDES(m_stats.Lock());
    bool SendSubscription(const std::string& eventName) EXCLUDES(m_pendingLock);
    void RemovePending(uint32_t id) EXCLUDES(m_pendingLock);
    // After a reply wait ran out: true when the request was answered (or
    // failed) just then and its signal has landed; false when it was still
    // waiting and is now withdrawn.
    bool AnsweredMeanwhile(uint32_t id, HANDLE completion) EXCLUDES(m_pendingLock);
    // Completion events of finished requests are kept for reuse: creating and
    // closing one per request costs two system calls on every round trip.
    ScopedHandle TakeCompletionEvent() EXCLUDES(m_pendingLock);
    void ReturnCompletionEvent(ScopedHandle event) EXCLUDES(m_pendingLock);

    std::wstring m_name;
    std::atomic<uint32_t> m_state{kDisconnected};
    std::atomic<int64_t> m_stateChangeTime{0};
    EventHolder m_readyEvent;

    Groundwork::Mutex m_pendingLock;
    uint32_t m_lastRequestId GUARDED_BY(m_pendingLock) = 0;
    std::unordered_map<uint32_t, PendingEntry> m_pending GUARDED_BY(m_pendingLock);
    // Non-signalled auto-reset events.
    std::vector<ScopedHandle> m_eventPool GUARDED_BY(m_pendingLock);

    ipc_stats_collector m_stats;
    uint32_t m_sendCounter GUARDED_BY(m_stats.Lock()) = 0;

    Groundwork::Mutex m_subscriptionLock;
    std::unordered_map<std::string, std::shared_ptr<EventHandler>> m_subscriptions GUARDED_BY(m_subscriptionLock);

    background_task_runner m_runner;
    std::atomic<uint32_t> m_queuedEventBytes{0};
    // Connection thread only: where the handshake answer sent us, the salt
    // of our handshake body, and the process that answered it.
    std::wstring m_transportPath;
    uint8_t m_sentSalt[12] = {};
    ULONG m_handshakeServerProcess = 0;
    std::atomic<uint32_t> m_spinCount{kDefaultSpinCount};
    bool m_pathRefused = false;  // connection thread only

    // Repeated failures, by the success that answers them: a registry
    // lookup, a ready connection, a matched reply or a queued write.
    RepeatedFailures m_lookupFailures;
    RepeatedFailures m_connectFailures;
    RepeatedFailures m_exchangeFailures;

    // Teardown: no new waits once closing; the destructor waits for callers.
    std::atomic<bool> m_closing{false};
    std::atomic<int32_t> m_activeCalls{0};
};

}  // namespace ipc
