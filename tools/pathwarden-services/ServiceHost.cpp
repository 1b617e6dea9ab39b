#include "ServiceHost.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>

#include "ipc/Authenticator.h"
#include "ipc/CommMessage.h"
#include "ipc/HandshakeFormat.h"
#include "logging/Logger.h"

namespace services {

namespace {

constexpr wchar_t kLogModule[] = L"ServiceHost";
constexpr DWORD kHandshakeWaitMs = 10'000;
// As long as a client may take in the authenticated state before it gives up.
constexpr DWORD kTransportConnectWaitMs = 30'000;
// How long --withdraw-transport keeps the transport pipe busy.
constexpr DWORD kWithdrawHoldMs = 200;
constexpr uint32_t kClientFrameSize = ipc::kHeaderSize + ipc::handshake::kClientBodySize;  // 59

std::vector<uint8_t> Frame(uint16_t protocol, const void* body, size_t size)
{
    ipc::CommMessage message;
    if (size > ipc::kMaxMessageSize - ipc::kHeaderSize || !message.Create(static_cast<uint32_t>(ipc::kHeaderSize + size)))
        return {};
    message.SetProtocol(protocol);
    message.Append(body, static_cast<uint32_t>(size));
    return std::vector<uint8_t>(message.Buffer(), message.Buffer() + message.MessageSize());
}

std::vector<uint8_t> ReplyFrame(uint32_t id, const std::string& data)
{
    std::vector<uint8_t> body(ipc::kRequestIdSize + data.size());
    ipc::WriteU32(body.data(), id);
    if (!data.empty())
        std::memcpy(body.data() + ipc::kRequestIdSize, data.data(), data.size());
    return Frame(ipc::kProtocolRequest, body.data(), body.size());
}

std::string Narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
        out.push_back(static_cast<char>(c < 0x80 ? c : '?'));
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------

bool EventSink::Open(const std::wstring& path)
{
    if (path.empty() || path == L"-")
    {
        m_handle = GetStdHandle(STD_OUTPUT_HANDLE);
        return true;
    }
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    m_file.reset(file);
    m_handle = file;
    return true;
}

void EventSink::Write(const std::string& line)
{
    const std::string text = line + "\n";
    std::lock_guard<std::mutex> lock(m_lock);
    DWORD written = 0;
    if (m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE)
        WriteFile(m_handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void Report(const HostContext& context, const std::wstring& text)
{
    if (context.options != nullptr && context.options->verbose)
        std::fwprintf(stderr, L"[services %lu] %ls\n", GetCurrentProcessId(), text.c_str());
}

// ---------------------------------------------------------------------------

ServiceHost::ServiceHost(HostContext& context, std::wstring name, std::wstring firstPipePath, Kind kind)
    : m_context(context),
      m_name(std::move(name)),
      m_narrowName(Narrow(m_name)),
      m_firstPipePath(std::move(firstPipePath)),
      m_kind(kind)
{
}

ServiceHost::~ServiceHost()
{
    Join();
}

bool ServiceHost::Listen()
{
    m_listening = std::make_unique<ServerPipe>(m_context.stopEvent);
    if (!m_listening->Create(m_firstPipePath, true) || !m_listening->BeginConnect())
    {
        VT_LOG(ERR) << "Failed to listen on " << m_firstPipePath << ". Error " << m_listening->LastError();
        std::fwprintf(stderr, L"pathwarden-services: cannot listen on %ls (error %lu)\n", m_firstPipePath.c_str(),
                      m_listening->LastError());
        return false;
    }
    return true;
}

void ServiceHost::Start()
{
    m_acceptThread = std::thread(&ServiceHost::AcceptLoop, this);
}

void ServiceHost::Join()
{
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    ReapSessions(true);
    m_listening.reset();
}

void ServiceHost::ReapSessions(bool all)
{
    std::list<Session> finished;
    {
        std::lock_guard<std::mutex> lock(m_sessionsLock);
        for (auto it = m_sessions.begin(); it != m_sessions.end();)
        {
            auto next = std::next(it);
            if (all || it->done.load())
                finished.splice(finished.end(), m_sessions, it);
            it = next;
        }
    }
    for (Session& session : finished)
        if (session.thread.joinable())
            session.thread.join();
}

void ServiceHost::AcceptLoop()
{
    for (;;)
    {
        const WaitResult result = m_listening->WaitConnect(INFINITE);
        if (result == WaitResult::kStopped)
            return;
        std::unique_ptr<ServerPipe> connected = std::move(m_listening);
        // The next instance listens before this client is served, so that a
        // second client finds the pipe at once.
        m_listening = std::make_unique<ServerPipe>(m_context.stopEvent);
        while (!m_listening->Create(m_firstPipePath, false) || !m_listening->BeginConnect())
        {
            VT_LOG(ERR) << "Failed to create a pipe instance of " << m_firstPipePath << ". Error "
                        << m_listening->LastError();
            m_listening = std::make_unique<ServerPipe>(m_context.stopEvent);
            if (WaitForSingleObject(m_context.stopEvent, 100) == WAIT_OBJECT_0)
                return;
        }
        if (result != WaitResult::kDone)
            continue;

        ReapSessions(false);
        std::lock_guard<std::mutex> lock(m_sessionsLock);
        m_sessions.emplace_back();
        Session& session = m_sessions.back();
        ServerPipe* raw = connected.release();
        session.thread = std::thread([this, raw, &session] {
            std::unique_ptr<ServerPipe> pipe(raw);
            if (m_kind == Kind::kRawEcho)
                ServeRawEcho(*pipe);
            else
                ServeClient(std::move(pipe));
            session.done = true;
        });
    }
}

bool ServiceHost::PauseReading()
{
    const uint32_t pauseMs = m_context.options->faults.pauseReadingMs;
    if (pauseMs == 0)
        return true;
    Report(m_context, m_name + L": not reading for " + std::to_wstring(pauseMs) + L" ms (fault)");
    return WaitForSingleObject(m_context.stopEvent, pauseMs) != WAIT_OBJECT_0;
}

// ---------------------------------------------------------------------------
// Handshake on the first pipe
// ---------------------------------------------------------------------------

void ServiceHost::ServeClient(std::unique_ptr<ServerPipe> first)
{
    using namespace ipc::handshake;
    const Faults& faults = m_context.options->faults;

    if (!PauseReading())
        return;
    std::vector<uint8_t> received;
    const uint8_t* frame = nullptr;
    uint32_t frameSize = 0;
    size_t consumed = 0;
    for (;;)
    {
        consumed = 0;
        if (!received.empty() && !ipc::FindFrame(received.data(), received.size(), &frame, &frameSize, &consumed))
        {
            VT_LOG(ERR) << m_name << ": bad frame instead of a handshake; client closed";
            Report(m_context, m_name + L": bad frame instead of a handshake; client closed");
            return;
        }
        if (frame != nullptr)
            break;
        received.erase(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(consumed));
        if (received.size() > ipc::kMaxMessageSize + 64 * 1024 ||
            first->Read(received, kHandshakeWaitMs) != WaitResult::kDone)
        {
            Report(m_context, m_name + L": no handshake from client");
            return;
        }
    }
    if (frameSize != kClientFrameSize)
    {
        VT_LOG(ERR) << m_name << ": handshake frame of " << frameSize << " bytes; client closed";
        Report(m_context, m_name + L": handshake frame of " + std::to_wstring(frameSize) + L" bytes; client closed");
        return;
    }
    const uint8_t* body = frame + ipc::kHeaderSize;
    if (faults.handshake == HandshakeFault::kRefuse)
    {
        Report(m_context, m_name + L": refusing the handshake (fault)");
        return;
    }
    uint32_t dataLength = 0;
    if (!ipc::Authenticator::VerifyAuthentication(first->Handle(), body, static_cast<uint32_t>(kClientBodySize),
                                                  dataLength) ||
        dataLength != kClientDataSize)
    {
        VT_LOG(ERR) << m_name << ": client handshake failed authentication; client closed";
        Report(m_context, m_name + L": client handshake failed authentication; client closed");
        return;
    }
    const uint32_t clientSession = ipc::ReadU32(body);
    ULONG clientProcess = 0;
    GetNamedPipeClientProcessId(first->Handle(), &clientProcess);
    Report(m_context, m_name + L": client process " + std::to_wstring(clientProcess) + L" of session " +
                          std::to_wstring(clientSession) + L" authenticated");

    // Keeps the first pipe until the client gives up on it.
    const auto holdFirstPipe = [&first] {
        std::vector<uint8_t> ignored;
        while (first->Read(ignored, INFINITE) == WaitResult::kDone)
            ignored.clear();
    };
    if (faults.handshake == HandshakeFault::kSilent)
    {
        holdFirstPipe();
        return;
    }
    if (faults.handshake == HandshakeFault::kReflect)
    {
        Report(m_context, m_name + L": sending the client's own handshake back (fault)");
        if (first->Write(frame, frameSize))
            holdFirstPipe();
        return;
    }

    // The transport pipe listens before the client learns its name, which
    // nobody can guess and so create first.
    const std::wstring random = UnguessablePipePart();
    if (random.empty())
    {
        VT_LOG(ERR) << m_name << ": no random transport pipe name";
        return;
    }
    const std::wstring ownTransportPath =
        m_firstPipePath + L"." + std::to_wstring(++m_context.transportCounter) + L"." + random;
    std::wstring transportPath = ownTransportPath;
    if (faults.handshake == HandshakeFault::kRemotePath)
        transportPath = L"\\\\127.0.0.1" + ownTransportPath.substr(3);  // "\\127.0.0.1\pipe\..."
    else if (faults.handshake == HandshakeFault::kForeignTransport)
        transportPath = m_context.foreignTransportPath;
    std::unique_ptr<ServerPipe> transport;
    if (!faults.missingTransport && faults.handshake != HandshakeFault::kForeignTransport)
    {
        transport = std::make_unique<ServerPipe>(m_context.stopEvent);
        if (!transport->Create(ownTransportPath, true) || !transport->BeginConnect())
        {
            VT_LOG(ERR) << m_name << ": cannot create transport pipe. Error " << transport->LastError();
            return;
        }
    }

    std::vector<uint8_t> pathBytes(transportPath.size() * 2);
    for (size_t i = 0; i < transportPath.size(); ++i)
        ipc::WriteU16(pathBytes.data() + 2 * i, static_cast<uint16_t>(transportPath[i]));
    const std::unique_ptr<uint8_t[]> salt = ipc::Authenticator::GenerateSalt();
    const std::unique_ptr<char[]> pids = ipc::Authenticator::ProcessIdString(first->Handle());
    if (!salt || !pids)
        return;

    TagFunction tag;
    char otherPids[kProcessIdStringSize + 1] = {};
    if (faults.handshake == HandshakeFault::kWrongPids)
    {
        // A tag made for another client process of the same server.
        FormatProcessIdString(GetCurrentProcessId(), clientProcess + 4, otherPids);
        tag = [&otherPids](const uint8_t* message, size_t size, uint8_t* out) {
            return ComputeTag(ipc::HmacSha256, otherPids, message, size, out);
        };
    }
    else
    {
        const HANDLE handle = first->Handle();
        tag = [handle](const uint8_t* message, size_t size, uint8_t* out) {
            const auto computed = ipc::Authenticator::GenerateHmac(message, static_cast<uint32_t>(size), handle);
            if (computed)
                std::memcpy(out, computed.get(), kTagSize);
            return static_cast<bool>(computed);
        };
    }
    std::vector<uint8_t> answer;
    if (!BuildTaggedBody(pathBytes.data(), pathBytes.size(), salt.get(), pids.get(), tag, answer))
    {
        VT_LOG(ERR) << m_name << ": cannot build the handshake answer";
        return;
    }
    if (faults.handshake == HandshakeFault::kCorrupt)
        answer[pathBytes.size()] ^= 0x01;  // a salt byte, after the tag was made
    if (faults.handshake == HandshakeFault::kShort)
        answer.resize(kTrailerSize - 1);
    std::vector<uint8_t> answerFrame = Frame(ipc::kProtocolHandshake, answer.data(), answer.size());
    if (faults.handshake == HandshakeFault::kExtraFrame)
    {
        // In the same write, so that the client reads both at once.
        const std::vector<uint8_t> extra = ReplyFrame(1, "{}");
        answerFrame.insert(answerFrame.end(), extra.begin(), extra.end());
    }
    // A client of our own holds the only transport pipe instance, so the
    // client cannot open it yet and has no reason to leave the first pipe.
    ipc::ScopedHandle occupant;
    if (transport && faults.withdrawTransport)
    {
        occupant.reset(CreateFileW(transportPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                   nullptr));
        if (!occupant.valid() || transport->WaitConnect(kTransportConnectWaitMs) != WaitResult::kDone)
            return;
    }
    if (!first->Write(answerFrame.data(), answerFrame.size()))
        return;
    if (occupant.valid())
    {
        std::vector<uint8_t> ignored;
        if (first->Read(ignored, kWithdrawHoldMs) != WaitResult::kTimeout)
        {
            Report(m_context, m_name + L": the client left the first pipe first; transport pipe withdrawn (fault)");
            return;
        }
        // A listening instance takes over before the busy one goes.
        auto listening = std::make_unique<ServerPipe>(m_context.stopEvent);
        if (!listening->Create(transportPath, false) || !listening->BeginConnect())
            return;
        transport = std::move(listening);
        occupant.reset();
    }

    if (!transport)
    {
        holdFirstPipe();
        return;
    }
    const WaitResult connected = transport->WaitConnect(kTransportConnectWaitMs);
    first.reset();
    if (connected != WaitResult::kDone)
    {
        Report(m_context, m_name + L": client never opened its transport pipe");
        return;
    }
    ServeTransport(*transport);
    Report(m_context, m_name + L": transport pipe closed");
}

// ---------------------------------------------------------------------------
// Transport pipe
// ---------------------------------------------------------------------------

void ServiceHost::ServeTransport(ServerPipe& pipe)
{
    const Faults& faults = m_context.options->faults;
    struct Outgoing
    {
        ULONGLONG due;
        std::vector<uint8_t> bytes;
    };
    std::deque<Outgoing> queue;
    std::optional<std::vector<uint8_t>> held;
    uint32_t requests = 0;
    uint32_t frames = 0;
    std::vector<uint8_t> received;

    auto send = [&](std::vector<uint8_t> bytes) {
        queue.push_back(Outgoing{GetTickCount64() + faults.delayMs, std::move(bytes)});
    };
    auto append = [](std::vector<uint8_t>& out, const std::vector<uint8_t>& bytes) {
        out.insert(out.end(), bytes.begin(), bytes.end());
    };

    if (!PauseReading())
        return;

    for (;;)
    {
        DWORD timeout = INFINITE;
        if (!queue.empty())
        {
            const ULONGLONG now = GetTickCount64();
            timeout = queue.front().due > now ? static_cast<DWORD>(queue.front().due - now) : 0;
        }
        const WaitResult result = queue.empty() || timeout > 0 ? pipe.Read(received, timeout) : WaitResult::kTimeout;
        if (result == WaitResult::kStopped || result == WaitResult::kClosed)
            return;

        size_t offset = 0;
        while (result == WaitResult::kDone && offset < received.size())
        {
            const uint8_t* frame = nullptr;
            uint32_t size = 0;
            size_t consumed = 0;
            if (!ipc::FindFrame(received.data() + offset, received.size() - offset, &frame, &size, &consumed))
            {
                VT_LOG(ERR) << m_name << ": bad frame from client; client closed";
                Report(m_context, m_name + L": bad frame from client; client closed");
                return;
            }
            offset += consumed;
            if (frame == nullptr)
                break;
            ++frames;
            if (faults.closeAfter != 0 && frames >= faults.closeAfter)
            {
                Report(m_context, m_name + L": closing the transport pipe after " + std::to_wstring(frames) +
                                      L" frames (fault)");
                return;
            }
            const uint16_t protocol = ipc::ReadU16(frame + ipc::kProtocolOffset);
            if (protocol == ipc::kProtocolRequest)
            {
                if (size < ipc::kRequestHeaderSize)
                {
                    VT_LOG(ERR) << m_name << ": request frame too short; client closed";
                    Report(m_context, m_name + L": request frame too short; client closed");
                    return;
                }
                const uint32_t id = ipc::ReadU32(frame + ipc::kHeaderSize);
                const std::string data =
                    AnswerRequest(frame + ipc::kRequestHeaderSize, size - ipc::kRequestHeaderSize, m_context.settings);
                ++requests;
                if (faults.dropEvery != 0 && requests % faults.dropEvery == 0)
                {
                    Report(m_context, m_name + L": dropping the reply to request " + std::to_wstring(id) + L" (fault)");
                    continue;
                }
                std::vector<uint8_t> out;
                if (faults.sendUnsupported)
                    append(out, Frame(ipc::kProtocolMessage, "{}", 2));
                if (faults.sendEvent)
                {
                    // Name "SERVICE_EVENT\r\n[ERR]forged" (a name that would
                    // forge a log line), value "on", a two-byte data block.
                    const char event[] = "\x1A\x00SERVICE_EVENT\r\n[ERR]forged\x02\x00on\x01\x02";
                    append(out, Frame(ipc::kProtocolEvent, event, sizeof(event) - 1));
                }
                if (faults.garbageBytes != 0)
                    out.insert(out.end(), faults.garbageBytes, 0xEE);
                if (faults.unknownId)
                    append(out, ReplyFrame(id ^ 0x40000000u, "{\"unknown\":true}"));
                if (faults.malformedReplies)
                {
                    // Too short to hold an identifier, then one without an identifier.
                    append(out, Frame(ipc::kProtocolRequest, "\x01\x00\x00", 3));
                    append(out, ReplyFrame(0, data));
                }
                std::vector<uint8_t> reply = ReplyFrame(id, data);
                switch (faults.header)
                {
                case HeaderFault::kVersion:
                    reply[ipc::kVersionOffset] = 2;
                    break;
                case HeaderFault::kTiny:
                    ipc::WriteU32(reply.data() + ipc::kSizeOffset, 5);
                    break;
                case HeaderFault::kOversize:
                    ipc::WriteU32(reply.data() + ipc::kSizeOffset, ipc::kMaxMessageSize + 1);
                    break;
                case HeaderFault::kNone:
                    break;
                }
                append(out, reply);
                if (faults.reversePairs)
                {
                    if (!held)
                    {
                        held = std::move(out);
                        continue;
                    }
                    send(std::move(out));
                    send(std::move(*held));
                    held.reset();
                    continue;
                }
                send(std::move(out));
            }
            else if (protocol == ipc::kProtocolMessage)
            {
                std::string line;
                if (EventLine(frame + ipc::kHeaderSize, size - ipc::kHeaderSize, m_narrowName, line))
                    m_context.events->Write(line);
                else
                    Report(m_context, m_name + L": one-way message that is not an event");
            }
            else
            {
                Report(m_context, m_name + L": ignoring a frame of protocol " + std::to_wstring(protocol));
            }
        }
        received.erase(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(offset));

        const ULONGLONG now = GetTickCount64();
        while (!queue.empty() && queue.front().due <= now)
        {
            if (!pipe.Write(queue.front().bytes.data(), queue.front().bytes.size()))
                return;
            queue.pop_front();
        }
    }
}

void ServiceHost::ServeRawEcho(ServerPipe& pipe)
{
    std::vector<uint8_t> received;
    for (;;)
    {
        if (pipe.Read(received, INFINITE) != WaitResult::kDone)
            return;
        size_t offset = 0;
        while (offset < received.size())
        {
            const uint8_t* frame = nullptr;
            uint32_t size = 0;
            size_t consumed = 0;
            if (!ipc::FindFrame(received.data() + offset, received.size() - offset, &frame, &size, &consumed))
                return;
            offset += consumed;
            if (frame == nullptr)
                break;
            if (ipc::ReadU16(frame + ipc::kProtocolOffset) == ipc::kProtocolRequest && !pipe.Write(frame, size))
                return;
        }
        received.erase(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(offset));
    }
}

}  // namespace services
