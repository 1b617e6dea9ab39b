// One open pipe handle with overlapped reads and writes. Writes are double
// buffered: any thread may hand in a frame at any time while at most one
// write is in flight, and everything handed in meanwhile goes out in the next
// single write. Every write is started and completed on the connection
// thread, since the system cancels a thread's pending I/O when the thread
// ends: a caller only queues its bytes and signals the write event. Reads run
// in 8192-byte chunks, each handed to the subclass. The object never waits on
// its own: the connection thread of ClientPipe waits on the read and write
// events and calls the processing operations.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include <windows.h>

#include "base/Lock.h"
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
    // Bytes queued for a peer that does not read, beyond which a write is
    // refused (three frames of the largest size).
    static constexpr size_t kWriteQueueBudget = 32u << 20;

    PipeConnectionBase();
    PipeConnectionBase(const PipeConnectionBase&) = delete;
    PipeConnectionBase& operator=(const PipeConnectionBase&) = delete;
    virtual ~PipeConnectionBase();

    // Queues bytes for writing; when no write is in flight or waiting to be
    // started, signals the write event for the connection thread to start one.
    bool WriteData(const void* bytes, size_t length) EXCLUDES(m_handleLock, m_writeLock);
    // Issues the overlapped write of the whole action buffer (connection thread).
    bool WriteImpl() EXCLUDES(m_writeLock);
    // After the write event was signalled: completes the write in flight and
    // starts the next, or starts the write of bytes a caller queued.
    bool WriteEventProcessing() EXCLUDES(m_writeLock);
    // Issues the next overlapped read.
    bool StartRead() EXCLUDES(m_writeLock);
    // Completes a read after the read event was signalled, hands the bytes to
    // the subclass and starts the next read. The subclass is called without
    // any of this object's locks.
    bool ReadEventProcessing() EXCLUDES(m_handleLock, m_writeLock, m_errorLock);
    // Cancels and drains pending I/O, closes the handle, empties the write
    // buffers. Safe to call repeatedly.
    void Close() EXCLUDES(m_handleLock, m_writeLock);

    // Error trail: tag "#" site "#" detail.
    void RecordError(const wchar_t* tag, uint32_t site, uint32_t code) EXCLUDES(m_errorLock);
    void RecordException(const wchar_t* tag, uint32_t site, const std::exception& e) EXCLUDES(m_errorLock);
    void ClearError() EXCLUDES(m_errorLock);
    std::wstring GetError() const EXCLUDES(m_errorLock);

    bool HasValidHandle() const EXCLUDES(m_handleLock);
    // Bytes queued or in flight (action plus spare buffer).
    size_t QueuedBytes() const EXCLUDES(m_writeLock);

protected:
    // Receives the read buffer after each completed read.
    virtual void OnDataRead(std::vector<uint8_t>& data) = 0;

    // Takes ownership of an opened pipe handle, closing any previous one.
    void SetPipeHandle(HANDLE pipe) EXCLUDES(m_handleLock, m_writeLock);
    // The events are owned by the subclass; the overlapped records use them.
    void AttachEvents(HANDLE readEvent, HANDLE writeEvent);
    // The open handle; for the connection thread, which alone replaces it.
    HANDLE PipeHandle() const { return OwnPipe().get(); }
    // Replaces the error trail with a text of the subclass's own form.
    void SetTrail(std::wstring text) EXCLUDES(m_errorLock);

private:
    // Empties the spare buffer and, unless the kernel still writes from it,
    // the action buffer. Buffer lock held by the caller.
    void DiscardBuffersLocked() REQUIRES(m_writeLock);
    void DiscardBuffers() EXCLUDES(m_writeLock);
    bool WriteDataImpl(const void* bytes, size_t length) EXCLUDES(m_handleLock, m_writeLock);
    bool WriteImplInner() EXCLUDES(m_writeLock);
    bool WriteEventProcessingInner() EXCLUDES(m_writeLock);
    // The handle as the connection thread reads it, without m_handleLock.
    const ScopedHandle& OwnPipe() const NO_THREAD_SAFETY_ANALYSIS { return m_pipe; }  // no lock: its one writer reads

    // Guards the handle against replacement while a caller checks it. The
    // handle is replaced only on the thread that issues and completes the
    // reads and writes (the connection thread), so that thread reads it
    // without the lock.
    mutable Groundwork::Mutex m_handleLock;
    ScopedHandle m_pipe GUARDED_BY(m_handleLock);

    mutable Groundwork::Mutex m_writeLock ACQUIRED_AFTER(m_handleLock);
    std::vector<uint8_t> m_actionBuffer GUARDED_BY(m_writeLock);
    std::vector<uint8_t> m_spareBuffer GUARDED_BY(m_writeLock);
    bool m_writePending GUARDED_BY(m_writeLock) = false;

    std::vector<uint8_t> m_readBuffer;  // connection thread only
    bool m_readPending = false;         // connection thread only

    OVERLAPPED m_writeOverlapped{};
    OVERLAPPED m_readOverlapped{};

    mutable Groundwork::Mutex m_errorLock;
    std::wstring m_errorTrail GUARDED_BY(m_errorLock);
};

}  // namespace ipc
