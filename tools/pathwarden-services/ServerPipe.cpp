#include "ServerPipe.h"

#include <memory>

#include "ZnCryptoLib/src/windows/CZnCryptoRandomWin.h"
#include "platform/ScopedHandle.h"
#include "platform/SecurityDescriptor.h"
#include "platform/SessionUtils.h"

namespace services {

std::wstring UnguessablePipePart()
{
    uint8_t bytes[16] = {};
    ZnCryptoLib::CZnCryptoRandomWin random;
    if (random.Initialize() != ZnCryptoLib::ZN_STATUS_SUCCESS ||
        random.GetRandomBytes(bytes, sizeof(bytes)) != ZnCryptoLib::ZN_STATUS_SUCCESS)
        return std::wstring();
    static constexpr wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    for (const uint8_t byte : bytes)
    {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

namespace {
constexpr DWORD kPipeBufferSize = 64 * 1024;
constexpr DWORD kReadChunk = 64 * 1024;

// Read and write data (and attributes) for clients: FILE_GENERIC_READ and
// FILE_GENERIC_WRITE without FILE_APPEND_DATA, which on a pipe is
// FILE_CREATE_PIPE_INSTANCE.
constexpr DWORD kClientAccess = FILE_READ_DATA | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES |
                                FILE_READ_EA | FILE_WRITE_EA | READ_CONTROL | SYNCHRONIZE;

using LocalDescriptor = Groundwork::LocalMemory<PSECURITY_DESCRIPTOR>;

// Full control for the system and for the account the services run as (it
// creates the further instances); authenticated users may use the pipe but
// not add an instance of their own to it, which would let them answer our
// clients.
LocalDescriptor PipeDescriptor()
{
    const std::wstring user = Groundwork::CurrentUserSidString();
    if (user.empty())
        return LocalDescriptor();
    wchar_t mask[16];
    swprintf(mask, 16, L"0x%lx", static_cast<unsigned long>(kClientAccess));
    const std::wstring sddl = L"D:P(A;;GA;;;SY)(A;;GA;;;" + user + L")(A;;" + mask + L";;;AU)";
    return Groundwork::DescriptorFromSddl(sddl.c_str());
}

}  // namespace

ServerPipe::ServerPipe(HANDLE stopEvent) : m_stopEvent(stopEvent), m_chunk(kReadChunk)
{
    m_readEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_writeEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_connectEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_readOverlapped.hEvent = m_readEvent.get();
    m_writeOverlapped.hEvent = m_writeEvent.get();
    m_connectOverlapped.hEvent = m_connectEvent.get();
}

ServerPipe::~ServerPipe()
{
    Close();
}

bool ServerPipe::Create(const std::wstring& path, bool firstInstance)
{
    if (!m_readEvent.valid() || !m_writeEvent.valid() || !m_connectEvent.valid())
    {
        m_lastError = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    static const LocalDescriptor descriptor = PipeDescriptor();
    if (!descriptor.valid())
    {
        m_lastError = ERROR_INVALID_SECURITY_DESCR;
        return false;
    }
    SECURITY_ATTRIBUTES security{sizeof(security), descriptor.get(), FALSE};
    // The first instance must be ours: had another process created the
    // name first, we would only add an instance to its pipe.
    const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (firstInstance ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    HANDLE pipe = CreateNamedPipeW(path.c_str(), openMode,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                   PIPE_UNLIMITED_INSTANCES, kPipeBufferSize, kPipeBufferSize, 0, &security);
    if (pipe == INVALID_HANDLE_VALUE)
    {
        m_lastError = GetLastError();
        return false;
    }
    m_pipe.reset(pipe);
    return true;
}

WaitResult ServerPipe::WaitFor(HANDLE event, DWORD timeoutMs)
{
    const HANDLE events[2] = {m_stopEvent, event};
    switch (WaitForMultipleObjects(2, events, FALSE, timeoutMs))
    {
    case WAIT_OBJECT_0:
        return WaitResult::kStopped;
    case WAIT_OBJECT_0 + 1:
        return WaitResult::kDone;
    case WAIT_TIMEOUT:
        return WaitResult::kTimeout;
    default:
        m_lastError = GetLastError();
        return WaitResult::kClosed;
    }
}

bool ServerPipe::BeginConnect()
{
    ResetEvent(m_connectEvent.get());
    if (ConnectNamedPipe(m_pipe.get(), &m_connectOverlapped))
    {
        m_connected = true;
        return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED)
    {
        m_connected = true;
        return true;
    }
    if (error == ERROR_IO_PENDING)
    {
        m_connectPending = true;
        return true;
    }
    m_lastError = error;
    return false;
}

WaitResult ServerPipe::WaitConnect(DWORD timeoutMs)
{
    if (m_connected)
        return WaitResult::kDone;
    if (!m_connectPending)
        return WaitResult::kClosed;
    const WaitResult result = WaitFor(m_connectEvent.get(), timeoutMs);
    if (result != WaitResult::kDone)
        return result;
    DWORD ignored = 0;
    m_connectPending = false;
    if (!GetOverlappedResult(m_pipe.get(), &m_connectOverlapped, &ignored, FALSE))
    {
        m_lastError = GetLastError();
        return WaitResult::kClosed;
    }
    m_connected = true;
    return WaitResult::kDone;
}

WaitResult ServerPipe::Read(std::vector<uint8_t>& into, DWORD timeoutMs)
{
    if (!m_pipe.valid())
        return WaitResult::kClosed;
    if (!m_readPending)
    {
        ResetEvent(m_readEvent.get());
        if (!ReadFile(m_pipe.get(), m_chunk.data(), kReadChunk, nullptr, &m_readOverlapped))
        {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING)
            {
                m_lastError = error;
                return WaitResult::kClosed;
            }
        }
        m_readPending = true;
    }
    const WaitResult result = WaitFor(m_readEvent.get(), timeoutMs);
    if (result != WaitResult::kDone)
        return result;
    DWORD read = 0;
    m_readPending = false;
    if (!GetOverlappedResult(m_pipe.get(), &m_readOverlapped, &read, FALSE))
    {
        m_lastError = GetLastError();
        return WaitResult::kClosed;
    }
    into.insert(into.end(), m_chunk.begin(), m_chunk.begin() + read);
    return WaitResult::kDone;
}

bool ServerPipe::Write(const void* data, size_t size)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    while (size > 0)
    {
        const DWORD chunk = size > 0x100000 ? 0x100000 : static_cast<DWORD>(size);
        ResetEvent(m_writeEvent.get());
        if (!WriteFile(m_pipe.get(), bytes, chunk, nullptr, &m_writeOverlapped))
        {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING)
            {
                m_lastError = error;
                return false;
            }
        }
        const WaitResult result = WaitFor(m_writeEvent.get(), INFINITE);
        DWORD written = 0;
        if (result != WaitResult::kDone)
        {
            CancelIoEx(m_pipe.get(), &m_writeOverlapped);
            GetOverlappedResult(m_pipe.get(), &m_writeOverlapped, &written, TRUE);
            return false;
        }
        if (!GetOverlappedResult(m_pipe.get(), &m_writeOverlapped, &written, FALSE) || written == 0)
        {
            m_lastError = GetLastError();
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

void ServerPipe::Close()
{
    if (!m_pipe.valid())
        return;
    // The overlapped records must not be written to after this object is gone.
    CancelIoEx(m_pipe.get(), nullptr);
    DWORD ignored = 0;
    if (m_readPending)
        GetOverlappedResult(m_pipe.get(), &m_readOverlapped, &ignored, TRUE);
    if (m_connectPending)
        GetOverlappedResult(m_pipe.get(), &m_connectOverlapped, &ignored, TRUE);
    m_readPending = false;
    m_connectPending = false;
    m_connected = false;
    // Closing without DisconnectNamedPipe leaves bytes already written
    // readable by the client.
    m_pipe.reset();
}

}  // namespace services
