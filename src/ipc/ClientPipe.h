// Client end of one pipe connection: the events that drive it, one connection
// thread that opens the pipe (retrying while the server is absent) and
// dispatches read and write completions, and the receive buffer in which
// partial frames wait for the rest of their bytes. What to connect to and
// what to do on connection, failure and idleness is asked of the subclass.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "base/Lock.h"
#include "ipc/ipc_common.h"
#include "ipc/PipeConnectionBase.h"

namespace ipc {

class ClientPipe : public PipeConnectionBase
{
public:
    static constexpr DWORD kMainWaitMs = 5000;   // paces the idle notification
    static constexpr DWORD kWaitPipeMs = 10;     // WaitNamedPipeW per attempt
    static constexpr DWORD kShortPauseMs = 1;    // while somebody waits or the pipe is busy
    static constexpr DWORD kLongPauseMs = 10;
    // After connections that opened and then failed, reconnection waits
    // 10 ms, doubling with each further failure up to this limit, while
    // nobody waits for the connection (kShortPauseMs while somebody does).
    static constexpr DWORD kMaxFailurePauseMs = 1000;

    ClientPipe();
    ~ClientPipe() override;

    // Creates the events, starts the connection thread and asks it to connect.
    bool Start();
    // Ends the connection thread and closes the pipe. A subclass calls it in
    // its own destructor, before its part of the object goes away.
    void Stop();

protected:
    void OnDataRead(std::vector<uint8_t>& data) final EXCLUDES(m_receiveLock);

    // Called whenever the connection must be dropped.
    virtual void ConnectionFailed() = 0;
    // Called once the pipe is open and its first read issued.
    virtual void Connected() {}
    // Called when the main wait timed out.
    virtual void Idle() {}
    // Called after every WaitNamedPipeW attempt with its error (0: success).
    virtual void WaitPipeResult(DWORD error) = 0;
    // Consumes whole frames from the receive buffer; returns bytes consumed.
    // Runs under the receive lock, which guards `bytes`.
    virtual size_t ProcessReceivedData(const uint8_t* bytes, size_t length) REQUIRES(m_receiveLock) = 0;
    // Path to connect to, asked before every attempt (empty: none known).
    virtual std::wstring GetPipeName() = 0;

    // Drops the current pipe and connects again from the start.
    void RequestConnect()
    {
        m_dropCurrent = true;
        SetEvent(m_connectEvent.get());
    }
    // Moves to the pipe GetPipeName names next: that pipe is opened first and
    // the current one closed only once the new one is open, since a service
    // may withdraw the new pipe when its client hangs up the previous one.
    void RequestPipeSwitch() { SetEvent(m_connectEvent.get()); }
    // Failures since the connection was last usable; they pace reconnection
    // so that a service that refuses every client is not hammered.
    void NoteConnectionFailure() { ++m_failures; }
    void NoteConnectionUsable() { m_failures = 0; }
    DWORD FailurePause() const;
    void WakeConnectionThread() { SetEvent(m_wakeEvent.get()); }
    // Callers currently waiting for the connection; shortens retry pauses.
    std::atomic<int32_t>& Waiters() { return m_waiters; }
    bool OnConnectionThread() const { return std::this_thread::get_id() == m_thread.get_id(); }

private:
    void ThreadLoop();
    enum class ConnectResult
    {
        kConnected,
        kStopped,
        kDropped,  // the subclass dropped the connection while it was sought
    };
    // Opens the pipe GetPipeName names, retrying while it is absent.
    ConnectResult ConnectLoop();
    // The back-off after a failed connection; false when told to stop.
    bool PauseBeforeReconnect();
    // ConnectionFailed for a failure that raised an exception; never throws.
    void FailConnectionSafely();

    EventHolder m_stopEvent;
    EventHolder m_connectEvent;
    EventHolder m_wakeEvent;
    EventHolder m_readEvent;
    EventHolder m_writeEvent;

    Groundwork::Mutex m_receiveLock;
    std::vector<uint8_t> m_receiveBuffer GUARDED_BY(m_receiveLock);

    std::thread m_thread;
    std::atomic<int32_t> m_waiters{0};
    std::atomic<uint32_t> m_failures{0};
    std::atomic<bool> m_dropCurrent{false};
};

}  // namespace ipc
