// Server end of one named pipe with overlapped I/O; every wait also ends
// when the program's stop event is set.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>

#include "ipc/ipc_common.h"

namespace services {

// 32 hexadecimal digits from the system's random source, for pipe names that
// another local user cannot create first; empty when the source fails.
std::wstring UnguessablePipePart();

enum class WaitResult
{
    kDone,
    kTimeout,
    kStopped,
    kClosed,  // the client went away, or the operation failed
};

class ServerPipe
{
public:
    explicit ServerPipe(HANDLE stopEvent);
    ~ServerPipe();
    ServerPipe(const ServerPipe&) = delete;
    ServerPipe& operator=(const ServerPipe&) = delete;

    // Creates one byte-mode instance of `path`.
    bool Create(const std::wstring& path, bool firstInstance);
    // Starts waiting for a client; WaitConnect completes it.
    bool BeginConnect();
    WaitResult WaitConnect(DWORD timeoutMs);
    // Appends whatever arrives to `into`. A read left pending by a time-out
    // is continued by the next call.
    WaitResult Read(std::vector<uint8_t>& into, DWORD timeoutMs);
    // Writes all bytes, waiting for completion.
    bool Write(const void* data, size_t size);
    void Close();

    HANDLE Handle() const { return m_pipe.get(); }
    DWORD LastError() const { return m_lastError; }

private:
    WaitResult WaitFor(HANDLE event, DWORD timeoutMs);

    HANDLE m_stopEvent;
    ipc::ScopedHandle m_pipe;
    ipc::ScopedHandle m_readEvent;
    ipc::ScopedHandle m_writeEvent;
    ipc::ScopedHandle m_connectEvent;
    OVERLAPPED m_readOverlapped{};
    OVERLAPPED m_writeOverlapped{};
    OVERLAPPED m_connectOverlapped{};
    bool m_readPending = false;
    bool m_connectPending = false;
    bool m_connected = false;
    std::vector<uint8_t> m_chunk;
    DWORD m_lastError = 0;
};

}  // namespace services
