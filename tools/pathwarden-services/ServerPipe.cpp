#include "ServerPipe.h"

#include <sddl.h>

#include <memory>

#include "platform/SessionUtils.h"

namespace services {

namespace {
constexpr DWORD kPipeBufferSize = 64 * 1024;
constexpr DWORD kReadChunk = 64 * 1024;

// Read and write data (and attributes) for clients: FILE_GENERIC_READ and
// FILE_GENERIC_WRITE without FILE_APPEND_DATA, which on a pipe is
// FILE_CREATE_PIPE_INSTANCE.
constexpr DWORD kClientAccess = FILE_READ_DATA | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES |
                                FILE_READ_EA | FILE_WRITE_EA | READ_CONTROL | SYNCHRONIZE;

struct LocalFreeDeleter
{
    void operator()(void* p) const { LocalFree(p); }
};
using LocalDescriptor = std::unique_ptr<void, LocalFreeDeleter>;

// Full control for the system and for the account the services run as (it
// creates the further instances); authenticated users may use the pipe but
// not add an instance of their own to it, which would let them answer our
// clients.
LocalDescriptor PipeDescriptor()
{
    const std::wstring user = Groundwork::CurrentUserSidString();
    if (user.empty())
        return nullptr;
    wchar_t mask[16];
    swprintf(mask, 16, L"0x%lx", static_cast<unsigned long>(kClientAccess));
    const std::wstring sddl = L"D:P(A;;GA;;;SY)(A;;GA;;;" + user + L")(A;;" + mask + L";;;AU)";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        return nullptr;
    return LocalDescriptor(descriptor);
}

}  // namespace

ServerPipe::ServerPipe(HANDLE stopEvent) : m_stopEvent(stopEvent), m_chunk(kReadChunk)
{
    m_readEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_writeEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_connectEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_readOverlapped.hEvent = m_readEvent.Get();
    m_writeOverlapped.hEvent = m_writeEvent.Get();
    m_connectOverlapped.hEvent = m_connectEvent.Get();
}

ServerPipe::~ServerPipe()
{
    Close();
}

bool ServerPipe::Create(const std::wstring& path, bool firstInstance)
{
    if (!m_readEvent.Valid() || !m_writeEvent.Valid() || !m_connectEvent.Valid())
    {
        m_lastError = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    static const LocalDescriptor descriptor = PipeDescriptor();
    if (!descriptor)
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
    m_pipe.Reset(pipe);
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
    ResetEvent(m_connectEvent.Get());
    if (ConnectNamedPipe(m_pipe.Get(), &m_connectOverlapped))
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
    const WaitResult result = WaitFor(m_connectEvent.Get(), timeoutMs);
    if (result != WaitResult::kDone)
        return result;
    DWORD ignored = 0;
    m_connectPending = false;
    if (!GetOverlappedResult(m_pipe.Get(), &m_connectOverlapped, &ignored, FALSE))
    {
        m_lastError = GetLastError();
        return WaitResult::kClosed;
    }
    m_connected = true;
    return WaitResult::kDone;
}

WaitResult ServerPipe::Read(std::vector<uint8_t>& into, DWORD timeoutMs)
{
    if (!m_pipe.Valid())
        return WaitResult::kClosed;
    if (!m_readPending)
    {
        ResetEvent(m_readEvent.Get());
        if (!ReadFile(m_pipe.Get(), m_chunk.data(), kReadChunk, nullptr, &m_readOverlapped))
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
    const WaitResult result = WaitFor(m_readEvent.Get(), timeoutMs);
    if (result != WaitResult::kDone)
        return result;
    DWORD read = 0;
    m_readPending = false;
    if (!GetOverlappedResult(m_pipe.Get(), &m_readOverlapped, &read, FALSE))
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
        ResetEvent(m_writeEvent.Get());
        if (!WriteFile(m_pipe.Get(), bytes, chunk, nullptr, &m_writeOverlapped))
        {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING)
            {
                m_lastError = error;
                return false;
            }
        }
        const WaitResult result = WaitFor(m_writeEvent.Get(), INFINITE);
        DWORD written = 0;
        if (result != WaitResult::kDone)
        {
            CancelIoEx(m_pipe.Get(), &m_writeOverlapped);
            GetOverlappedResult(m_pipe.Get(), &m_writeOverlapped, &written, TRUE);
            return false;
        }
        if (!GetOverlappedResult(m_pipe.Get(), &m_writeOverlapped, &written, FALSE) || written == 0)
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
    if (!m_pipe.Valid())
        return;
    // The overlapped records must not be written to after this object is gone.
    CancelIoEx(m_pipe.Get(), nullptr);
    DWORD ignored = 0;
    if (m_readPending)
        GetOverlappedResult(m_pipe.Get(), &m_readOverlapped, &ignored, TRUE);
    if (m_connectPending)
        GetOverlappedResult(m_pipe.Get(), &m_connectOverlapped, &ignored, TRUE);
    m_readPending = false;
    m_connectPending = false;
    m_connected = false;
    // Closing without DisconnectNamedPipe leaves bytes already written
    // readable by the client.
    m_pipe.Reset();
}

}  // namespace services
