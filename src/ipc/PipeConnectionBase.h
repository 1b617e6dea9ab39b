// One open pipe handle with overlapped reads and writes. Writes are double
// buffered: any thread may hand in a frame at any time while at most one
// write is in flight, and everything handed in meanwhile goes out in the next
// single write. Reads run in 8192-byte chunks, each handed to the subclass.
// The object never waits on its own: the connection thread of ClientPipe
// waits on the read and write events and calls the processing operations.
#pragma once

#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include <windows.h>

#include "ipc/ipc_common.h"

namespace ipc {

// Records an error trail entry whose site is the reporting statement's line.
#define IPC_TRAIL(tag, code) RecordError(tag, static_cast<uint32_t>(__LINE__), static_cast<uint32_t>(code))
#define IPC_TRAIL_EXCEPTION(tag, e) RecordException(tag, static_cast<uint32_t>(__LINE__), e)

class PipeConnectionBase
{
public:
    static constexpr DWORD kReadChunkSize = 8192;
    static constexpr size_t kInitialBufferCapacity = 8192;

    PipeConnectionBase();
    PipeConnectionBase(const PipeConnectionBase&) = delete;
    PipeConnectionBase& operator=(const PipeConnectionBase&) = delete;
    virtual ~PipeConnectionBase();

    // Queues bytes for writing and starts a write if none is in flight.
    bool WriteData(const void* bytes, size_t length);
    // Issues the overlapped write of the whole action buffer.
    bool WriteImpl();
    // Completes a write after the write event was signalled.
    bool WriteEventProcessing();
    // Issues the next overlapped read.
    bool StartRead();
    // Completes a read after the read event was signalled, hands the bytes to
    // the subclass and starts the next read.
    bool ReadEventProcessing();
    // Cancels and drains pending I/O, closes the handle, empties the write
    // buffers. Safe to call repeatedly.
    void Close();

    // Error trail: tag "#" site "#" detail.
    void RecordError(const wchar_t* tag, uint32_t site, uint32_t code);
    void RecordException(const wchar_t* tag, uint32_t site, const std::exception& e);
    void ClearError();
    std::wstring GetError() const;

    bool HasValidHandle() const;
    // Bytes queued or in flight (action plus spare buffer).
    size_t QueuedBytes() const;

protected:
    // Receives the read buffer after each completed read.
    virtual void OnDataRead(std::vector<uint8_t>& data) = 0;

    // Takes ownership of an opened pipe handle, closing any previous one.
    void SetPipeHandle(HANDLE pipe);
    // The events are owned by the subclass; the overlapped records use them.
    void AttachEvents(HANDLE readEvent, HANDLE writeEvent);
    // The open handle; for the connection thread, which alone replaces it.
    HANDLE PipeHandle() const { return m_pipe.Get(); }
    // Replaces the error trail with a text of the subclass's own form.
    void SetTrail(std::wstring text);

private:
    // Empties the spare buffer and, unless the kernel still writes from it,
    // the action buffer. Buffer lock held by the caller.
    void DiscardBuffersLocked();
    void DiscardBuffers();
    bool WriteDataImpl(const void* bytes, size_t length);
    bool WriteImplInner();
    bool WriteEventProcessingInner();
    // Whether the write in flight has finished (its event may not have been
    // waited for yet).
    bool WriteFinished() const;

    // Guards the handle against replacement while another thread issues a
    // write. The handle is replaced only on the thread that runs StartRead,
    // ReadEventProcessing and WriteEventProcessing (the connection thread),
    // so those read it without the lock and never wait for a caller that is
    // inside WriteFile.
    mutable std::mutex m_handleLock;
    ScopedHandle m_pipe;

    mutable std::mutex m_writeLock;  // guards both buffers and m_writePending
    std::vector<uint8_t> m_actionBuffer;
    std::vector<uint8_t> m_spareBuffer;
    bool m_writePending = false;

    std::vector<uint8_t> m_readBuffer;  // connection thread only
    bool m_readPending = false;         // connection thread only

    OVERLAPPED m_writeOverlapped{};
    OVERLAPPED m_readOverlapped{};

    mutable std::mutex m_errorLock;
    std::wstring m_errorTrail;
};

}  // namespace ipc
