#include "ipc/ClientPipe.h"

#include <exception>
#include <new>

#include "logging/Logger.h"

namespace ipc {

namespace {
constexpr wchar_t kLogModule[] = L"ClientPipe";
}

ClientPipe::ClientPipe()
{
    m_receiveBuffer.reserve(kInitialBufferCapacity);
}

ClientPipe::~ClientPipe()
{
    Stop();
    // The events close with this class's members; the base must not reset
    // them afterwards (the handle values may belong to someone else by then).
    AttachEvents(nullptr, nullptr);
}

bool ClientPipe::Start()
{
    Close();
    if (!CreateEventHandle(m_stopEvent, true) || !CreateEventHandle(m_readEvent, false) ||
        !CreateEventHandle(m_writeEvent, false) || !CreateEventHandle(m_connectEvent, false) ||
        !CreateEventHandle(m_wakeEvent, false))
    {
        IPC_TRAIL(L"evt_fail", GetLastError());
        return false;
    }
    AttachEvents(m_readEvent.get(), m_writeEvent.get());
    ResetEvent(m_stopEvent.get());
    if (!m_thread.joinable())
    {
        try
        {
            m_thread = std::thread(&ClientPipe::ThreadLoop, this);
        }
        catch (const std::exception& e)
        {
            IPC_TRAIL_EXCEPTION(L"strt", e);
            VT_LOG(ERR) << "thread exception " << e.what();
            return false;
        }
        catch (...)
        {
            IPC_TRAIL(L"strt_unkn", 0);
            VT_LOG(ERR) << "thread unknown exception ";
            return false;
        }
    }
    ClearError();
    RequestConnect();
    return true;
}

void ClientPipe::Stop()
{
    if (m_stopEvent.valid())
        SetEvent(m_stopEvent.get());
    if (m_thread.joinable())
    {
        if (OnConnectionThread())
        {
            VT_LOG(ERR) << "Stop called on the connection thread";
            return;
        }
        m_thread.join();
    }
    Close();
}

void ClientPipe::OnDataRead(std::vector<uint8_t>& data)
{
    Groundwork::MutexLock lock(m_receiveLock);
    m_receiveBuffer.insert(m_receiveBuffer.end(), data.begin(), data.end());
    data.clear();
    const size_t consumed = ProcessReceivedData(m_receiveBuffer.data(), m_receiveBuffer.size());
    if (consumed > m_receiveBuffer.size())
    {
        VT_LOG(WRN) << "Attempt to erase more data when actually exist.";
        m_receiveBuffer.clear();
        return;
    }
    m_receiveBuffer.erase(m_receiveBuffer.begin(), m_receiveBuffer.begin() + consumed);
}

DWORD ClientPipe::FailurePause() const
{
    const uint32_t failures = m_failures.load();
    if (failures == 0)
        return 0;
    if (m_waiters.load() >= 1)
        return kShortPauseMs;
    if (failures > 7)
        return kMaxFailurePauseMs;
    const DWORD pause = kLongPauseMs << (failures - 1);
    return pause < kMaxFailurePauseMs ? pause : kMaxFailurePauseMs;
}

bool ClientPipe::PauseBeforeReconnect()
{
    // The wake event of a caller that starts waiting ends the pause; one
    // already waiting made the pause short.
    const DWORD pause = FailurePause();
    const HANDLE pauseEvents[2] = {m_stopEvent.get(), m_wakeEvent.get()};
    return pause == 0 || WaitForMultipleObjects(2, pauseEvents, FALSE, pause) != WAIT_OBJECT_0;
}

ClientPipe::ConnectResult ClientPipe::ConnectLoop()
{
    const HANDLE pauseEvents[2] = {m_stopEvent.get(), m_wakeEvent.get()};
    for (;;)
    {
        const std::wstring name = GetPipeName();
        DWORD pause = kLongPauseMs;
        if (WaitNamedPipeW(name.c_str(), kWaitPipeMs))
        {
            WaitPipeResult(ERROR_SUCCESS);
            if (m_dropCurrent.load())
                return ConnectResult::kDropped;
            // Identification only: whoever serves the pipe may learn who we
            // are, but never act as us.
            HANDLE pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                      nullptr);
            if (ScopedHandle::IsValid(pipe))
            {
                // Closes the previous pipe, now that the new one is open.
                SetPipeHandle(pipe);
                // Reconnection requests made while connecting are answered by
                // this connection.
                ResetEvent(m_connectEvent.get());
                m_dropCurrent = false;
                return ConnectResult::kConnected;
            }
            IPC_TRAIL(L"crt_pipe", GetLastError());
            pause = m_waiters.load() >= 1 ? kShortPauseMs : kLongPauseMs;
        }
        else
        {
            DWORD error = GetLastError();
            // A failure must never read as success (some systems leave no
            // error code for an empty name).
            if (error == ERROR_SUCCESS)
                error = name.empty() ? ERROR_BAD_PATHNAME : ERROR_GEN_FAILURE;
            // Recorded first, so that the subclass may name a cause of its own.
            IPC_TRAIL(L"wait_pipe", error);
            WaitPipeResult(error);
            // The subclass dropped the connection (the transport pipe is
            // missing): start over, after the back-off.
            if (m_dropCurrent.load())
                return ConnectResult::kDropped;
            pause = (error == ERROR_SEM_TIMEOUT || m_waiters.load() >= 1) ? kShortPauseMs : kLongPauseMs;
        }
        if (WaitForMultipleObjects(2, pauseEvents, FALSE, pause) == WAIT_OBJECT_0)
            return ConnectResult::kStopped;
    }
}

void ClientPipe::ThreadLoop()
{
    const HANDLE events[4] = {m_stopEvent.get(), m_connectEvent.get(), m_readEvent.get(),
                              m_writeEvent.get()};
    for (;;)
    {
        const DWORD result = WaitForMultipleObjects(4, events, FALSE, kMainWaitMs);
        // Nothing may leave this thread as an exception: a failure here,
        // such as an allocation sized by what the server sent, drops the
        // connection like any other failure.
        try
        {
            switch (result)
            {
            case WAIT_OBJECT_0:
                return;
            case WAIT_OBJECT_0 + 1:
            {
                // A dropped pipe is released before the next one is looked for;
                // on a switch the current pipe stays open until the next one is.
                const bool drop = m_dropCurrent.exchange(false);
                if (drop)
                    Close();
                {
                    Groundwork::MutexLock lock(m_receiveLock);
                    m_receiveBuffer.clear();
                }
                if (drop && !PauseBeforeReconnect())
                    return;
                const ConnectResult connect = ConnectLoop();
                if (connect == ConnectResult::kStopped)
                    return;
                if (connect == ConnectResult::kDropped)
                    break;  // the connect event is set again
                if (StartRead())
                    Connected();
                else
                    ConnectionFailed();
                break;
            }
            case WAIT_OBJECT_0 + 2:
                if (!ReadEventProcessing())
                    ConnectionFailed();
                break;
            case WAIT_OBJECT_0 + 3:
                if (!WriteEventProcessing())
                    ConnectionFailed();
                break;
            case WAIT_TIMEOUT:
                Idle();
                break;
            case WAIT_FAILED:
                IPC_TRAIL(L"bad_wt", GetLastError());
                Sleep(1);
                ConnectionFailed();
                break;
            default:
                IPC_TRAIL(L"unexp_wt", result);
                Sleep(1);
                ConnectionFailed();
                break;
            }
        }
        catch (const std::bad_alloc&)
        {
            IPC_TRAIL(L"mem_err", 0);
            VT_LOG(ERR) << "allocation failure";
            FailConnectionSafely();
        }
        catch (const std::exception& e)
        {
            IPC_TRAIL_EXCEPTION(L"thrd_exc", e);
            VT_LOG(ERR) << "Connection thread exception: " << e.what();
            FailConnectionSafely();
        }
        catch (...)
        {
            IPC_TRAIL(L"thrd_unkn", 0);
            VT_LOG(ERR) << "Connection thread unknown exception";
            FailConnectionSafely();
        }
    }
}

void ClientPipe::FailConnectionSafely()
{
    try
    {
        ConnectionFailed();
    }
    catch (...)
    {
        // Dropping the connection failed as well: close the pipe and ask for
        // a new one, which is all a connection failure does here.
        Close();
        RequestConnect();
    }
}

}  // namespace ipc
