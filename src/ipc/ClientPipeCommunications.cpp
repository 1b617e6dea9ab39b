#include "ipc/ClientPipeCommunications.h"

#include <cstring>
#include <exception>
#include <new>

#include "ipc/Authenticator.h"
#include "ipc/CommMessage.h"
#include "ipc/HandshakeFormat.h"
#include "ipc/PipeName.h"
#include "logging/RepeatedFailures.h"
#include "platform/SessionUtils.h"

namespace ipc {

namespace {

constexpr wchar_t kLogModule[] = L"ClientPipeCommunications";

// Counts a caller inside SendRequest/SendMessage for the destructor.
class ActiveCall
{
public:
    explicit ActiveCall(std::atomic<int32_t>& count) : m_count(count) { ++m_count; }
    ~ActiveCall() { --m_count; }
    ActiveCall(const ActiveCall&) = delete;
    ActiveCall& operator=(const ActiveCall&) = delete;

private:
    std::atomic<int32_t>& m_count;
};

}  // namespace

ClientPipeCommunications::ClientPipeCommunications(int64_t summaryTicks)
    : m_lookupFailures(summaryTicks), m_connectFailures(summaryTicks), m_exchangeFailures(summaryTicks)
{
    m_pending.reserve(8);
    m_pending.max_load_factor(1.0f);
    m_stateChangeTime = CurrentUnixTicks();
}

ClientPipeCommunications::~ClientPipeCommunications()
{
    VT_LOG(DBG) << "###:" << m_name << ":Destroying";
    m_closing = true;
    // Callers still waiting for readiness give up at once.
    if (m_readyEvent.valid())
        SetEvent(m_readyEvent.get());
    FailPendingRequests();
    m_runner.Stop();
    // Callers give up at once once closing, so this takes milliseconds; the
    // bound is for a caller that can never return (its thread was ended).
    const ULONGLONG deadline = GetTickCount64() + kTeardownWaitMs;
    for (;;)
    {
        {
            Groundwork::MutexLock lock(m_pendingLock);
            if (m_pending.empty() && m_activeCalls.load() == 0)
                break;
        }
        if (GetTickCount64() >= deadline)
        {
            VT_LOG(ERR) << "###:" << m_name << ":Callers still inside after " << kTeardownWaitMs << " ms: "
                        << m_activeCalls.load();
            break;
        }
        Sleep(1);
    }
    Stop();
    for (RepeatedFailures* failures : {&m_lookupFailures, &m_connectFailures, &m_exchangeFailures})
        failures->Flush();
}

int64_t ClientPipeCommunications::CurrentTime() const
{
    return CurrentUnixTicks();
}

void ClientPipeCommunications::SetState(State state)
{
    m_stateChangeTime = CurrentTime();
    m_state = state;
}

void ClientPipeCommunications::SetLastRequestId(uint32_t id)
{
    Groundwork::MutexLock lock(m_pendingLock);
    m_lastRequestId = id;
}

std::vector<uint32_t> ClientPipeCommunications::PendingRequestIds()
{
    Groundwork::MutexLock lock(m_pendingLock);
    std::vector<uint32_t> ids;
    ids.reserve(m_pending.size());
    for (const auto& entry : m_pending)
        ids.push_back(entry.first);
    return ids;
}

bool ClientPipeCommunications::Initialize(const std::wstring& name)
{
    if (!Begin(name))
        return false;
    WaitReady();
    return true;
}

bool ClientPipeCommunications::Begin(const std::wstring& name)
{
    VT_LOG(DBG) << "###:" << name << ":Before initialize";
    m_name = name;
    if (!CreateEventHandle(m_readyEvent, true))
    {
        const DWORD error = GetLastError();
        IPC_TRAIL(L"clnt_rd_evt", error);
        VT_LOG(ERR) << "Failed to create ready event, error " << error;
        return false;
    }
    m_runner.Stop();
    if (!m_runner.Start())
    {
        IPC_TRAIL(L"clnt_kg_thrd", GetLastError());
        return false;
    }
    return Start();
}

bool ClientPipeCommunications::WaitForReady(DWORD timeoutMs) const
{
    if (m_state.load() == kReady)
        return true;
    if (!m_readyEvent.valid())
        return false;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;)
    {
        if (m_state.load() == kReady)
            return true;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        WaitForSingleObject(m_readyEvent.get(), static_cast<DWORD>(deadline - now));
        if (m_state.load() != kReady && m_readyEvent.valid())
            Sleep(1);  // the event may be set during teardown
    }
}

// ---------------------------------------------------------------------------
// Connection thread notifications
// ---------------------------------------------------------------------------

std::wstring ClientPipeCommunications::GetPipeName()
{
    if (m_state.load() == kAuthenticated && !m_transportPath.empty())
        return m_transportPath;
    RepeatScope scope(m_lookupFailures);
    std::wstring name = PipeName(m_name);
    m_pathRefused = !name.empty() && !handshake::IsLocalPipePath(name);
    if (m_pathRefused)
    {
        // Opening a remote name would hand the user's network credentials to
        // that host: the attempt fails as if there were no name.
        VT_LOG_REPEAT(ERR) << "###:" << m_name << ":Pipe path from the registry is not a local pipe: " << name;
        return std::wstring();
    }
    if (!name.empty())
    {
        m_lookupFailures.Succeeded();
        SetState(kConnecting);
    }
    return name;
}

void ClientPipeCommunications::SetSpinCount(uint32_t count)
{
    if (m_spinCount.exchange(count) != count)
        VT_LOG(DBG) << m_name << ": Set spin count to " << count;
}

void ClientPipeCommunications::WaitPipeResult(DWORD error)
{
    if (m_pathRefused)
        IPC_TRAIL(L"pipe_path", 0);
    StaleCheck();
    if (error == ERROR_FILE_NOT_FOUND)
    {
        if (m_state.load() == kAuthenticated)
        {
            RepeatScope scope(m_connectFailures);
            VT_LOG_REPEAT(WRN) << "Missing transport pipe case";
            ConnectionFailed();
        }
        // The service named in the registry is not running: callers wait
        // one readiness spin only.
        if (m_state.load() == kConnecting)
            SetSpinCount(kMissingPipeSpinCount);
        return;
    }
    SetSpinCount(kDefaultSpinCount);
}

void ClientPipeCommunications::Connected()
{
    RepeatScope scope(m_connectFailures);
    const uint32_t state = m_state.load();
    if (state == kConnecting)
    {
        if (!RunHandshake())
            ConnectionFailed();
        return;
    }
    if (state == kAuthenticated)
    {
        // The transport pipe must belong to the process that proved itself
        // on the first pipe, not to whoever else created a pipe of that name.
        ULONG server = 0;
        if (!GetNamedPipeServerProcessId(PipeHandle(), &server) || server != m_handshakeServerProcess)
        {
            IPC_TRAIL(L"srv_pid", server);
            VT_LOG_REPEAT(ERR) << "###:" << m_name << ":Transport pipe served by process " << server
                               << ", not by process " << m_handshakeServerProcess << " that answered the handshake";
            ConnectionFailed();
            return;
        }
        SetState(kReady);
        NoteConnectionUsable();
        m_connectFailures.Succeeded();
        VT_LOG(DBG) << "###:" << m_name << ":Switching to ready state";
        {
            Groundwork::MutexLock lock(m_subscriptionLock);
            for (const auto& entry : m_subscriptions)
                SendSubscription(entry.first);
        }
        SetEvent(m_readyEvent.get());
        return;
    }
    IPC_TRAIL(L"conct", state);
    ConnectionFailed();
    VT_LOG_REPEAT(ERR) << "Unexpected connection state " << state;
}

void ClientPipeCommunications::FailPendingRequests()
{
    Groundwork::MutexLock lock(m_pendingLock);
    for (auto& entry : m_pending)
    {
        if (entry.second.completion != nullptr)
        {
            SetEvent(entry.second.completion);
            entry.second.completion = nullptr;
        }
    }
}

void ClientPipeCommunications::ConnectionFailed()
{
    VT_LOG(DBG) << "###:" << m_name << ":Connection failed in state " << m_state.load();
    NoteConnectionFailure();
    FailPendingRequests();
    ResetEvent(m_readyEvent.get());
    SetState(kDisconnected);
    ClearError();
    RequestConnect();
}

void ClientPipeCommunications::Idle()
{
    StaleCheck();
    // A connection that stays ready ends the connection failures' streaks
    // once it held long enough; a quiet one learns so here.
    if (m_state.load() == kReady)
        m_connectFailures.Succeeded();
}

void ClientPipeCommunications::StaleCheck()
{
    const uint32_t state = m_state.load();
    if (state != kHandshakeSent && state != kAuthenticated)
        return;
    if (CurrentTime() - m_stateChangeTime.load() <= kStaleTicks)
        return;
    RepeatScope scope(m_connectFailures);
    VT_LOG_REPEAT(ERR) << m_name << ":Connection is stale in state " << state;
    IPC_TRAIL(L"stale", state);
    ConnectionFailed();
}

bool ClientPipeCommunications::RunHandshake()
{
    const uint32_t session = Groundwork::GetCurrentProcessSessionId();
    if (session == Groundwork::kNoSession)
    {
        IPC_TRAIL(L"sess", GetLastError());
        VT_LOG_REPEAT(ERR) << "Failed to retrieve user session ID";
        return false;
    }
    uint8_t data[handshake::kClientDataSize];
    WriteU32(data, session);
    uint32_t length = 0;
    const std::unique_ptr<uint8_t[]> body = Authenticator::Authenticate(PipeHandle(), data, length);
    if (!body)
    {
        IPC_TRAIL(L"auth_buf", GetLastError());
        VT_LOG_REPEAT(ERR) << "Failed to generate authenticated buffer";
        return false;
    }
    CommMessage frame;
    if (!frame.Create(kHeaderSize + length) || !frame.Append(body.get(), length))
        return false;
    static_assert(sizeof(m_sentSalt) == handshake::kSaltSize, "salt size");
    std::memcpy(m_sentSalt, body.get() + handshake::kClientDataSize, handshake::kSaltSize);
    SetState(kHandshakeSent);
    return WriteData(frame.Buffer(), frame.MessageSize());
}

size_t ClientPipeCommunications::ProcessReceivedData(const uint8_t* bytes, size_t length)
{
    // Before the ready state the frames are the handshake's.
    RepeatScope scope(m_state.load() == kReady ? m_exchangeFailures : m_connectFailures);
    bool corrupt = false;
    const size_t consumed = ConsumeFrames(
        bytes, length,
        [this](const uint8_t* frame, uint32_t size) {
            OnMessage(frame, size);
            // After a drop nothing more on this pipe is meant for us. A frame
            // behind the handshake answer is not skipped: it fails the
            // connection, since a service that sends one is broken.
            return m_state.load() == kDisconnected ? FrameAction::kDiscardRest : FrameAction::kNext;
        },
        &corrupt);
    if (corrupt)
    {
        IPC_TRAIL(L"dt_err", 0);
        ConnectionFailed();
    }
    return consumed;
}

void ClientPipeCommunications::OnMessage(const uint8_t* frame, uint32_t size)
{
    const uint32_t state = m_state.load();
    if (state == kHandshakeSent)
    {
        OnHandshakeAnswer(frame, size);
        return;
    }
    if (state != kReady)
    {
        IPC_TRAIL(L"bad_state", state);
        VT_LOG_REPEAT(ERR) << "Unexpected state " << state;
        ConnectionFailed();
        return;
    }
    const uint16_t protocol = ReadU16(frame + kProtocolOffset);
    switch (protocol)
    {
    case kProtocolRequest:
        OnReply(frame, size);
        break;
    case kProtocolEvent:
        OnEvent(frame, size);
        break;
    default:
        VT_LOG_REPEAT(WRN) << "Unsupported protocol " << protocol;
        break;
    }
}

void ClientPipeCommunications::OnHandshakeAnswer(const uint8_t* frame, uint32_t size)
{
    const HANDLE pipe = PipeHandle();
    std::wstring path;
    const handshake::AnswerStatus status = handshake::ReadHandshakeAnswer(
        frame, size,
        [pipe](const uint8_t* body, uint32_t length, uint32_t& dataLength) {
            return Authenticator::VerifyAuthentication(pipe, body, length, dataLength);
        },
        m_sentSalt, path);
    switch (status)
    {
    case handshake::AnswerStatus::kOk:
        break;
    case handshake::AnswerStatus::kBadFrame:
        IPC_TRAIL(L"st_msg", 0);
        ConnectionFailed();
        return;
    case handshake::AnswerStatus::kNoData:
        IPC_TRAIL(L"get_data", 0);
        ConnectionFailed();
        return;
    case handshake::AnswerStatus::kNotAuthentic:
        IPC_TRAIL(L"auth_failed", 0);
        VT_LOG_REPEAT(ERR) << "Failed to verify received handshake response from server";
        ConnectionFailed();
        return;
    case handshake::AnswerStatus::kReflected:
        IPC_TRAIL(L"reflected", 0);
        VT_LOG_REPEAT(ERR) << "Handshake response from server is the client's own message";
        ConnectionFailed();
        return;
    case handshake::AnswerStatus::kNotLocal:
        IPC_TRAIL(L"bad_path", 0);
        VT_LOG_REPEAT(ERR) << "Handshake response from server names a pipe that is not local";
        ConnectionFailed();
        return;
    }
    // The answer verified for this pipe's process pair, so this is the
    // process that holds the key.
    if (!GetNamedPipeServerProcessId(pipe, &m_handshakeServerProcess))
    {
        IPC_TRAIL(L"srv_pid", GetLastError());
        ConnectionFailed();
        return;
    }
    m_transportPath = std::move(path);
    SetState(kAuthenticated);
    ClearError();
    RequestPipeSwitch();
}

void ClientPipeCommunications::OnReply(const uint8_t* frame, uint32_t size)
{
    uint32_t id = 0;
    const uint8_t* data = nullptr;
    uint32_t dataLength = 0;
    switch (ParseReply(frame, size, &id, &data, &dataLength))
    {
    case ReplyStatus::kOk:
        break;
    // A malformed reply is dropped on its own: the stream is still in step,
    // and the other requests on the connection keep waiting for theirs.
    case ReplyStatus::kTooShort:
        IPC_TRAIL(L"bad_size", size);
        VT_LOG_REPEAT(ERR) << "Insufficient message size";
        return;
    case ReplyStatus::kNoId:
        IPC_TRAIL(L"no_id", 0);
        VT_LOG_REPEAT(ERR) << "Header does not have id";
        return;
    }
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[dataLength == 0 ? 1 : dataLength]);
    if (!block)
    {
        IPC_TRAIL(L"mem_err", 0);
        VT_LOG(ERR) << "allocation failure";
        ConnectionFailed();
        return;
    }
    if (dataLength != 0)
        std::memcpy(block.get(), data, dataLength);

    HANDLE completion = nullptr;
    {
        Groundwork::MutexLock lock(m_pendingLock);
        const auto it = m_pending.find(id);
        // An entry already answered, or failed by a dropped connection, no
        // longer waits for a reply.
        if (it != m_pending.end() && it->second.completion != nullptr)
        {
            it->second.reply = std::move(block);
            it->second.replyLength = dataLength;
            completion = it->second.completion;
            it->second.completion = nullptr;
        }
    }
    if (completion == nullptr)
    {
        VT_LOG_REPEAT(ERR) << m_name << ": " << "Request with id=" << id << " not found";
        return;
    }
    m_exchangeFailures.Succeeded();
    // Set after the lock is released: the woken caller takes the lock at
    // once, and would otherwise wait for this thread to let go of it. The
    // caller keeps the event until this signal came (see SendRequest).
    SetEvent(completion);
}

void ClientPipeCommunications::OnEvent(const uint8_t* frame, uint32_t size)
{
    auto message = std::make_shared<EventMessage>();
    if (!message->CreateFromBuffer(frame, size))
        return;
    // Parsed here, so that an event nobody subscribed to is dropped before
    // it takes a place in the runner's queue.
    if (!message->Parse())
    {
        VT_LOG_REPEAT(WRN) << m_name << ": Malformed event notification";
        return;
    }
    {
        Groundwork::MutexLock lock(m_subscriptionLock);
        if (m_subscriptions.count(message->EventName()) == 0)
        {
            lock.Unlock();
            VT_LOG(DBG) << m_name << ": No handler for event " << message->EventName();
            return;
        }
    }
    if (m_queuedEventBytes.fetch_add(size) > kEventQueueBudget - size)
    {
        m_queuedEventBytes -= size;
        VT_LOG_REPEAT(ERR) << m_name << ": Dropping event " << message->EventName() << ": the queue holds its budget";
        return;
    }
    m_runner.Post([this, message, size] {
        m_queuedEventBytes -= size;
        std::shared_ptr<EventHandler> handler;
        {
            Groundwork::MutexLock lock(m_subscriptionLock);
            const auto it = m_subscriptions.find(message->EventName());
            if (it == m_subscriptions.end())
                return;
            handler = it->second;
        }
        if (handler && *handler)
            (*handler)(message->EventName(), message->EventValue(), message->Data(), message->DataSize());
    });
}

// ---------------------------------------------------------------------------
// Caller side
// ---------------------------------------------------------------------------

bool ClientPipeCommunications::WaitReady()
{
    if (m_state.load() == kReady)
        return true;
    if (Waiters().fetch_add(1) < 1)
        WakeConnectionThread();
    uint32_t spins = 0;
    while (spins < m_spinCount.load() && m_state.load() != kReady && !m_closing.load())
    {
        WaitForSingleObject(m_readyEvent.get(), kReadyWaitMs);
        ++spins;
    }
    const uint32_t state = m_state.load();
    VT_LOG(DBG) << "###:" << m_name << ":waited spin count " << spins << ", state " << state;
    const bool ready = state == kReady && !m_closing.load();
    if (!ready)
    {
        if (GetError().empty())
            SetTrail(L"bad_state" + std::to_wstring(state));
        RepeatScope scope(m_connectFailures);
        VT_LOG_REPEAT(WRN) << m_name << ": " << "Pipe is not ready. State " << state;
    }
    --Waiters();
    return ready;
}

void ClientPipeCommunications::SendAccounting()
{
    Groundwork::MutexLock lock(m_stats.Lock());
    if (m_sendCounter % kStatsRefreshInterval == 0)
    {
        m_stats.RefreshConfig();
        if (m_stats.IsEnabled())
            m_stats.Flush(0);
    }
    m_stats.Increment(ipc_stats_collector::kTotalsKey);
    ++m_sendCounter;
}

void ClientPipeCommunications::RecordClientFailure(const wchar_t* tag)
{
    const std::wstring trail = GetError();
    const std::wstring key = trail.empty() ? std::wstring(tag) : L"CL#" + trail;
    Groundwork::MutexLock lock(m_stats.Lock());
    m_stats.RefreshConfig();
    if (m_stats.IsEnabled())
    {
        m_stats.Increment(key);
        m_stats.Flush(0);
    }
}

void ClientPipeCommunications::CountDirect(const wchar_t* key)
{
    Groundwork::MutexLock lock(m_stats.Lock());
    m_stats.RefreshConfig();
    if (m_stats.IsEnabled())
    {
        m_stats.Increment(key);
        m_stats.Flush(0);
    }
}

ScopedHandle ClientPipeCommunications::TakeCompletionEvent()
{
    {
        Groundwork::MutexLock lock(m_pendingLock);
        if (!m_eventPool.empty())
        {
            ScopedHandle event = std::move(m_eventPool.back());
            m_eventPool.pop_back();
            return event;
        }
    }
    return ScopedHandle(CreateEventW(nullptr, FALSE, FALSE, nullptr));
}

void ClientPipeCommunications::ReturnCompletionEvent(ScopedHandle event)
{
    Groundwork::MutexLock lock(m_pendingLock);
    if (m_eventPool.size() < kEventPoolLimit)
        m_eventPool.push_back(std::move(event));
    // Otherwise `event` closes on return, after the lock is released.
}

bool ClientPipeCommunications::AnsweredMeanwhile(uint32_t id, HANDLE completion)
{
    {
        Groundwork::MutexLock lock(m_pendingLock);
        const auto it = m_pending.find(id);
        if (it == m_pending.end() || it->second.completion != nullptr)
        {
            // Still unanswered: withdrawn here, so no signal can come.
            if (it != m_pending.end())
                m_pending.erase(it);
            return false;
        }
    }
    // The reply (or the connection's failure) took the entry as the wait ran
    // out; its signal is on its way and must land before the event is reused
    // or closed.
    WaitForSingleObject(completion, INFINITE);
    return true;
}

void ClientPipeCommunications::RemovePending(uint32_t id)
{
    Groundwork::MutexLock lock(m_pendingLock);
    m_pending.erase(id);
}

std::unique_ptr<uint8_t[]> ClientPipeCommunications::SendRequest(const std::wstring& requestName,
                                                                 const void* bytes, uint32_t length,
                                                                 uint32_t& replyLength)
{
    ActiveCall active(m_activeCalls);
    RepeatScope scope(m_exchangeFailures);
    replyLength = 0;
    SendAccounting();
    if (!WaitReady())
    {
        RecordClientFailure(L"CL#pipe_is_not_ready");
        return nullptr;
    }

    RequestMessage frame;
    const uint32_t zeroId = 0;
    bool built = false;
    // Only a size past 32 bits is refused here (it would wrap); every other
    // size is for Create to judge and log.
    if (length <= UINT32_MAX - kRequestHeaderSize && frame.Create(kRequestHeaderSize + length))
    {
        frame.SetProtocol(kProtocolRequest);
        built = frame.Append(&zeroId, kRequestIdSize) && frame.Append(bytes, length);
    }

    ScopedHandle completion = TakeCompletionEvent();
    if (!completion.valid())
    {
        const DWORD error = GetLastError();
        CountDirect(L"CL#no_request_error");
        VT_LOG(ERR) << "Failed to create request event. Error " << error;
        return nullptr;
    }

    uint32_t id = 0;
    {
        Groundwork::MutexLock lock(m_pendingLock);
        // After wrap-around an identifier may still belong to a waiting
        // request; it is skipped so that no reply reaches the wrong caller.
        do
        {
            id = ++m_lastRequestId;
            if (id == 0)
                id = m_lastRequestId = 1;
        } while (m_pending.count(id) != 0);
        PendingEntry& entry = m_pending[id];
        entry.id = id;
        entry.completion = completion.get();
    }

    if (!built)
    {
        CountDirect(L"CL#st_msg_id");
        VT_LOG(ERR) << "Failed to set message id";
        RemovePending(id);
        return nullptr;
    }
    frame.SetRequestId(id);
    if (!WriteData(frame.Buffer(), frame.MessageSize()))
    {
        RecordClientFailure(L"CL#write_failure");
        VT_LOG_REPEAT(ERR) << static_cast<const void*>(this) << " " << m_name << ": " << "Failed to write message "
                           << id << " ";
        RemovePending(id);
        return nullptr;
    }

    const DWORD wait = WaitForSingleObject(completion.get(), kReplyWaitMs);
    if (wait != WAIT_OBJECT_0 && !AnsweredMeanwhile(id, completion.get()))
    {
        m_stats.RecordTimeout(kReplyWaitMs, requestName);
        VT_LOG_REPEAT(ERR) << m_name << ": " << "Wait for message with id=" << id << " was not successful. Return "
                           << wait << ", timeout " << kReplyWaitMs;
        return nullptr;
    }

    std::unique_ptr<uint8_t[]> reply;
    bool found = false;
    {
        Groundwork::MutexLock lock(m_pendingLock);
        const auto it = m_pending.find(id);
        if (it != m_pending.end())
        {
            found = true;
            reply = std::move(it->second.reply);
            replyLength = reply ? it->second.replyLength : 0;
            m_pending.erase(it);
        }
    }
    if (!found)
    {
        RecordClientFailure(L"CL#no_reply");
        VT_LOG_REPEAT(ERR) << m_name << ": " << "Message with id=" << id << " was not found";
        return nullptr;
    }
    // Its one signal was consumed by the wait: the event can serve again.
    ReturnCompletionEvent(std::move(completion));
    if (!reply)
    {
        RepeatScope dropScope(m_connectFailures);
        VT_LOG_REPEAT(WRN) << m_name << ": Connection dropped while waiting for message with id=" << id;
    }
    return reply;
}

bool ClientPipeCommunications::SendMessage(const void* bytes, uint32_t length)
{
    ActiveCall active(m_activeCalls);
    RepeatScope scope(m_exchangeFailures);
    SendAccounting();
    if (!WaitReady())
    {
        RecordClientFailure(L"CL#pipe_is_not_ready");
        return false;
    }
    CommMessage frame;
    if (length > UINT32_MAX - kHeaderSize || !frame.Create(kHeaderSize + length))
    {
        CountDirect(L"cl#proto_set");
        VT_LOG(ERR) << "Failed to set next protocol field";
        return false;
    }
    frame.SetProtocol(kProtocolMessage);
    if (!frame.Append(bytes, length))
    {
        CountDirect(L"cl#proto_set");
        VT_LOG(ERR) << "Failed to set next protocol field";
        return false;
    }
    if (!WriteData(frame.Buffer(), frame.MessageSize()))
    {
        RecordClientFailure(L"CL#write_error");
        VT_LOG_REPEAT(ERR) << static_cast<const void*>(this) << " " << m_name << ": " << "Failed to write message";
        return false;
    }
    m_exchangeFailures.Succeeded();
    return true;
}

bool ClientPipeCommunications::SendSubscription(const std::string& eventName)
{
    SendAccounting();
    if (!WaitReady())
    {
        RecordClientFailure(L"CL#pipe_is_not_ready");
        return false;
    }
    SubscriptionMessage frame(eventName);
    if (!frame.Build())
    {
        CountDirect(L"cl#proto_set");
        VT_LOG(ERR) << "Failed to set next protocol field";
        return false;
    }
    if (!WriteData(frame.Buffer(), frame.MessageSize()))
    {
        RecordClientFailure(L"CL#write_error");
        VT_LOG_REPEAT(ERR) << static_cast<const void*>(this) << " " << m_name << ": " << "Failed to write message";
        return false;
    }
    return true;
}

}  // namespace ipc
