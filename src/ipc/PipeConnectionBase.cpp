#include "ipc/PipeConnectionBase.h"

#include <new>

#include "logging/RepeatedFailures.h"

namespace ipc {

namespace {

constexpr wchar_t kLogModule[] = L"PipeConnectionBase";

std::wstring WidenUtf8(const char* text)
{
    if (text == nullptr || *text == '\0')
        return std::wstring();
    const int chars = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (chars <= 0)
        return L"(cvt_fail)";
    std::wstring wide(static_cast<size_t>(chars), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, &wide[0], chars) != chars)
        return L"(cvt_fail)";
    wide.resize(static_cast<size_t>(chars) - 1);
    return wide;
}

}  // namespace

PipeConnectionBase::PipeConnectionBase()
{
    m_actionBuffer.reserve(kInitialBufferCapacity);
    m_spareBuffer.reserve(kInitialBufferCapacity);
    m_readBuffer.reserve(kInitialBufferCapacity);
}

PipeConnectionBase::~PipeConnectionBase()
{
    Close();
}

void PipeConnectionBase::AttachEvents(HANDLE readEvent, HANDLE writeEvent)
{
    m_readOverlapped.hEvent = readEvent;
    m_writeOverlapped.hEvent = writeEvent;
}

bool PipeConnectionBase::HasValidHandle() const
{
    Groundwork::MutexLock lock(m_handleLock);
    return m_pipe.valid();
}

size_t PipeConnectionBase::QueuedBytes() const
{
    Groundwork::MutexLock lock(m_writeLock);
    return m_actionBuffer.size() + m_spareBuffer.size();
}

void PipeConnectionBase::SetPipeHandle(HANDLE pipe)
{
    Close();
    Groundwork::MutexLock lock(m_handleLock);
    m_pipe.reset(pipe);
}

void PipeConnectionBase::Close()
{
    Groundwork::MutexLock handleLock(m_handleLock);
    if (m_pipe.valid())
    {
        bool writePending = false;
        {
            Groundwork::MutexLock lock(m_writeLock);
            writePending = m_writePending;
        }
        // The overlapped records and the action buffer are reused by the next
        // connection, so every operation still in flight is finished first.
        CancelIoEx(m_pipe.get(), nullptr);
        DWORD transferred = 0;
        if (m_readPending)
            GetOverlappedResult(m_pipe.get(), &m_readOverlapped, &transferred, TRUE);
        if (writePending)
            GetOverlappedResult(m_pipe.get(), &m_writeOverlapped, &transferred, TRUE);
        m_pipe.reset();
    }
    m_readPending = false;
    if (m_readOverlapped.hEvent != nullptr)
        ResetEvent(m_readOverlapped.hEvent);
    if (m_writeOverlapped.hEvent != nullptr)
        ResetEvent(m_writeOverlapped.hEvent);
    Groundwork::MutexLock lock(m_writeLock);
    m_writePending = false;
    m_actionBuffer.clear();
    m_spareBuffer.clear();
}

void PipeConnectionBase::DiscardBuffersLocked()
{
    m_spareBuffer.clear();
    if (!m_writePending)
        m_actionBuffer.clear();
}

void PipeConnectionBase::DiscardBuffers()
{
    Groundwork::MutexLock lock(m_writeLock);
    DiscardBuffersLocked();
}

bool PipeConnectionBase::WriteData(const void* bytes, size_t length)
{
    try
    {
        return WriteDataImpl(bytes, length);
    }
    catch (const std::exception& e)
    {
        IPC_TRAIL_EXCEPTION(L"base_", e);
        VT_LOG(ERR) << "Exception in WriteData: " << e.what();
    }
    catch (...)
    {
        IPC_TRAIL(L"base_unkn_exc", 0);
        VT_LOG(ERR) << "Unknown exception in WriteData";
    }
    DiscardBuffers();
    return false;
}

bool PipeConnectionBase::WriteDataImpl(const void* bytes, size_t length)
{
    if (!HasValidHandle())
    {
        IPC_TRAIL(L"base_invl_pipe", 0);
        VT_LOG(ERR) << "Pipe handle is invalid";
        return false;
    }
    const uint8_t* data = static_cast<const uint8_t*>(bytes);
    bool wake = false;
    {
        Groundwork::MutexLock lock(m_writeLock);
        // A peer that stops reading gets no more than the budget; what is
        // queued already stays and goes out in order.
        const size_t queued = m_actionBuffer.size() + m_spareBuffer.size();
        if (queued > kWriteQueueBudget || length > kWriteQueueBudget - queued)
        {
            lock.Unlock();
            IPC_TRAIL(L"base_q_full", 0);
            VT_LOG_REPEAT(ERR) << "Write queue full: " << queued << " bytes wait for the peer, " << length
                               << " more refused";
            return false;
        }
        // The kernel owns the action buffer while a write is in flight; its
        // completion sends whatever waits in the spare buffer. Until the
        // connection thread starts the next write, new bytes join the action
        // buffer (the spare one is empty then).
        const bool toSpare = m_writePending;
        try
        {
            if (toSpare)
                m_spareBuffer.insert(m_spareBuffer.end(), data, data + length);
            else
                m_actionBuffer.insert(m_actionBuffer.end(), data, data + length);
        }
        catch (const std::bad_alloc&)
        {
            IPC_TRAIL(L"base_buf_wrt", 0);
            DiscardBuffersLocked();
            lock.Unlock();
            VT_LOG(ERR) << (toSpare ? "Spare buffer write failed" : "Action buffer write failed");
            return false;
        }
        // Bytes already waiting in the action buffer have woken the
        // connection thread before.
        wake = !toSpare && m_actionBuffer.size() == length;
    }
    // The write is started on the connection thread, never here: the system
    // cancels a thread's pending I/O when the thread ends, and a caller's
    // thread may end right after this call.
    if (wake)
        SetEvent(m_writeOverlapped.hEvent);
    return true;
}

bool PipeConnectionBase::WriteImpl()
{
    try
    {
        return WriteImplInner();
    }
    catch (const std::exception& e)
    {
        IPC_TRAIL_EXCEPTION(L"base_", e);
        VT_LOG(ERR) << "Exception in WriteImpl: " << e.what();
    }
    catch (...)
    {
        IPC_TRAIL(L"base_unkn_exc", 0);
        VT_LOG(ERR) << "Unknown exception in WriteImpl";
    }
    DiscardBuffers();
    return false;
}

bool PipeConnectionBase::WriteImplInner()
{
    const HANDLE pipe = OwnPipe().get();
    if (!ScopedHandle::IsValid(pipe))
    {
        IPC_TRAIL(L"base_invl_pipe", 0);
        VT_LOG(ERR) << "Pipe handle is invalid";
        DiscardBuffers();
        return false;
    }
    const uint8_t* data = nullptr;
    DWORD length = 0;
    {
        Groundwork::MutexLock lock(m_writeLock);
        if (m_actionBuffer.empty() || m_writePending)
            return true;
        // From here until completion the action buffer belongs to the kernel.
        // The record reads as pending until WriteFile takes it over, so that
        // the result of the previous write is never taken for this one.
        m_writePending = true;
        m_writeOverlapped.Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
        data = m_actionBuffer.data();
        length = static_cast<DWORD>(m_actionBuffer.size());
    }
    // WriteFile itself resets the event when the operation starts.
    if (WriteFile(pipe, data, length, nullptr, &m_writeOverlapped))
        return true;
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING)
        return true;
    IPC_TRAIL(L"base_wrt_impl", error);
    VT_LOG(ERR) << static_cast<const void*>(this) << " Write failed with error" << error;
    Groundwork::MutexLock lock(m_writeLock);
    m_writePending = false;
    m_actionBuffer.clear();
    m_spareBuffer.clear();
    return false;
}

bool PipeConnectionBase::WriteEventProcessing()
{
    try
    {
        return WriteEventProcessingInner();
    }
    catch (const std::exception& e)
    {
        IPC_TRAIL_EXCEPTION(L"base_", e);
        VT_LOG(ERR) << "Exception in WriteEventProcessing: " << e.what();
    }
    catch (...)
    {
        IPC_TRAIL(L"base_unkn_exc", 0);
        VT_LOG(ERR) << "Unknown exception in WriteEventProcessing";
    }
    DiscardBuffers();
    return false;
}

bool PipeConnectionBase::WriteEventProcessingInner()
{
    {
        // Without a write in flight the signal is a caller's: its bytes wait
        // in the action buffer. An empty buffer means Close emptied it.
        Groundwork::MutexLock lock(m_writeLock);
        if (!m_writePending)
        {
            const bool queued = !m_actionBuffer.empty();
            lock.Unlock();
            return queued ? WriteImpl() : true;
        }
    }
    const HANDLE pipe = OwnPipe().get();
    if (!ScopedHandle::IsValid(pipe))
    {
        IPC_TRAIL(L"base_invl_pipe", 0);
        VT_LOG(ERR) << "Pipe handle is invalid";
        DiscardBuffers();
        return false;
    }
    DWORD written = 0;
    if (!GetOverlappedResult(pipe, &m_writeOverlapped, &written, FALSE))
    {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE)
            return true;
        IPC_TRAIL(L"base_wrt_prc", error);
        {
            Groundwork::MutexLock lock(m_writeLock);
            m_writePending = false;
            m_actionBuffer.clear();
            m_spareBuffer.clear();
        }
        VT_LOG(ERR) << "GetOverlappedResult failed. Error " << error;
        return false;
    }

    bool more = false;
    {
        Groundwork::MutexLock lock(m_writeLock);
        m_writePending = false;
        if (written > m_actionBuffer.size())
        {
            IPC_TRAIL(L"base_", GetLastError());
            m_actionBuffer.clear();
            m_spareBuffer.clear();
            lock.Unlock();
            VT_LOG(ERR) << "GetOverlappedResult return larger written size than actual buffer length";
            return false;
        }
        // A partial write leaves the rest at the front for the next write.
        m_actionBuffer.erase(m_actionBuffer.begin(), m_actionBuffer.begin() + written);
        if (!m_spareBuffer.empty())
        {
            if (m_actionBuffer.empty())
            {
                m_actionBuffer.swap(m_spareBuffer);
            }
            else
            {
                try
                {
                    m_actionBuffer.insert(m_actionBuffer.end(), m_spareBuffer.begin(), m_spareBuffer.end());
                }
                catch (const std::bad_alloc&)
                {
                    IPC_TRAIL(L"base_buf_wrt", 0);
                    m_actionBuffer.clear();
                    m_spareBuffer.clear();
                    lock.Unlock();
                    VT_LOG(ERR) << "Action buffer write failed";
                    return false;
                }
                m_spareBuffer.clear();
            }
        }
        more = !m_actionBuffer.empty();
    }
    return more ? WriteImpl() : true;
}

bool PipeConnectionBase::StartRead()
{
    if (!OwnPipe().valid())
    {
        IPC_TRAIL(L"base_invl_pipe", 0);
        VT_LOG(ERR) << "Pipe handle is invalid";
        DiscardBuffers();
        return false;
    }
    // ReadFile itself resets the event when the operation starts.
    m_readBuffer.resize(kReadChunkSize);
    if (ReadFile(OwnPipe().get(), m_readBuffer.data(), kReadChunkSize, nullptr, &m_readOverlapped))
    {
        m_readPending = true;  // the event is signalled all the same
        return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING)
    {
        m_readPending = true;
        return true;
    }
    if (error != ERROR_BROKEN_PIPE)
    {
        IPC_TRAIL(L"base_rd_strt", error);
        VT_LOG(ERR) << "ReadFile failed. System error " << error;
    }
    DiscardBuffers();
    return false;
}

bool PipeConnectionBase::ReadEventProcessing()
{
    // Close drains every read it cancels, so a signal without a pending read
    // is left over from a connection already closed.
    if (!m_readPending)
        return true;
    if (!OwnPipe().valid())
    {
        IPC_TRAIL(L"base_invl_pipe", 0);
        VT_LOG(ERR) << "Pipe handle is invalid";
        DiscardBuffers();
        return false;
    }
    DWORD read = 0;
    if (!GetOverlappedResult(OwnPipe().get(), &m_readOverlapped, &read, FALSE))
    {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE)
            return true;
        m_readPending = false;
        if (error != ERROR_BROKEN_PIPE)
        {
            IPC_TRAIL(L"base_rd_prc", error);
            VT_LOG(ERR) << "GetOverlappedResult failed. System error " << error;
        }
        DiscardBuffers();
        return false;
    }
    m_readPending = false;
    m_readBuffer.resize(read);
    OnDataRead(m_readBuffer);
    return StartRead();
}

void PipeConnectionBase::SetTrail(std::wstring text)
{
    Groundwork::MutexLock lock(m_errorLock);
    m_errorTrail = std::move(text);
}

void PipeConnectionBase::RecordError(const wchar_t* tag, uint32_t site, uint32_t code)
{
    SetTrail(std::wstring(tag) + L"#" + std::to_wstring(site) + L"#" + std::to_wstring(code));
}

void PipeConnectionBase::RecordException(const wchar_t* tag, uint32_t site, const std::exception& e)
{
    SetTrail(std::wstring(tag) + L"#" + std::to_wstring(site) + L"#" + WidenUtf8(e.what()));
}

void PipeConnectionBase::ClearError()
{
    Groundwork::MutexLock lock(m_errorLock);
    m_errorTrail.clear();
}

std::wstring PipeConnectionBase::GetError() const
{
    Groundwork::MutexLock lock(m_errorLock);
    return m_errorTrail;
}

}  // namespace ipc
