// The overlapped pipe connection and the client pipe's connection thread,
// against a server pipe owned by the test.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TransportTestSupport.h"
#include "ipc/ClientPipe.h"
#include "ipc/PipeConnectionBase.h"
#include "support/LogCapture.h"

using ipc::ScopedHandle;
using ipctest::WaitFor;

namespace {

std::wstring UniquePipeName(const wchar_t* tag)
{
    static std::atomic<int> counter{0};
    return L"\\\\.\\pipe\\vantu-test-" + std::wstring(tag) + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++counter);
}

// The server end, blocking: it is used only once the client end is open.
class TestServer
{
public:
    explicit TestServer(const std::wstring& name, DWORD size = 1024)
        : m_name(name),
          m_pipe(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, size, size, 0, nullptr))
    {
    }
    // Whether a client holds the other end open.
    bool ClientOpen() const { return PeekNamedPipe(m_pipe.get(), nullptr, 0, nullptr, nullptr, nullptr) != FALSE; }
    HANDLE OpenClient() const
    {
        return CreateFileW(m_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    }
    bool Connected() { return ConnectNamedPipe(m_pipe.get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED; }
    bool Write(const std::string& bytes)
    {
        DWORD n = 0;
        return WriteFile(m_pipe.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) &&
               n == bytes.size();
    }
    // Reads until `count` bytes arrived, or none came for ten seconds.
    std::string Read(size_t count)
    {
        std::string out;
        char chunk[4096];
        DWORD n = 0;
        while (out.size() < count && WaitFor([&] { return Available() > 0; }, 10000) &&
               ReadFile(m_pipe.get(), chunk, static_cast<DWORD>(std::min(sizeof chunk, count - out.size())), &n,
                        nullptr))
            out.append(chunk, n);
        return out;
    }
    DWORD Available() const
    {
        DWORD bytes = 0;
        return PeekNamedPipe(m_pipe.get(), nullptr, 0, nullptr, &bytes, nullptr) ? bytes : 0;
    }
    void Close() { m_pipe.reset(); }

private:
    std::wstring m_name;
    ScopedHandle m_pipe;
};

// The client end of `server`, connected.
class TestConnection : public ipc::PipeConnectionBase
{
public:
    explicit TestConnection(TestServer& server)
    {
        AttachEvents(m_readEvent.get(), m_writeEvent.get());
        SetPipeHandle(server.OpenClient());
        EXPECT_TRUE(server.Connected());
    }
    ~TestConnection() override { Close(); }
    bool Await(HANDLE event) { return WaitForSingleObject(event, 10000) == WAIT_OBJECT_0; }
    bool ReadDone() { return Await(m_readEvent.get()) && ReadEventProcessing(); }
    bool WriteDone() { return Await(m_writeEvent.get()) && WriteEventProcessing(); }
    HANDLE ReadEvent() const { return m_readEvent.get(); }

    std::string received;
    std::vector<size_t> chunks;

protected:
    void OnDataRead(std::vector<uint8_t>& data) override
    {
        chunks.push_back(data.size());
        received.append(data.begin(), data.end());
    }

private:
    ScopedHandle m_readEvent{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    ScopedHandle m_writeEvent{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};

bool MatchesTrail(const std::wstring& trail, const std::wstring& tag, const std::wstring& detail)
{
    return std::regex_match(trail, std::wregex(tag + L"#[0-9]+#" + detail));
}

}  // namespace

TEST(PipeConnectionBase, FramesHandedInDuringAWriteFollowItAsOneWriteInOrder)
{
    TestServer server(UniquePipeName(L"coalesce"));
    TestConnection connection(server);

    // Larger than the pipe's buffer: stays in flight until the server reads.
    const std::string first(200000, 'a');
    const std::string second(300, 'b');
    const std::string third(500, 'c');
    ASSERT_TRUE(connection.WriteData(first.data(), first.size()));
    ASSERT_TRUE(connection.WriteDone()) << "the write starts on the thread that waits for the event";
    ASSERT_TRUE(connection.WriteData(second.data(), second.size()));
    ASSERT_TRUE(connection.WriteData(third.data(), third.size()));
    EXPECT_EQ(first.size() + second.size() + third.size(), connection.QueuedBytes());

    EXPECT_EQ(first, server.Read(first.size()));
    ASSERT_TRUE(connection.WriteDone());
    // The first write is done; the two queued frames went out together.
    EXPECT_EQ(second.size() + third.size(), connection.QueuedBytes());
    EXPECT_EQ(second + third, server.Read(second.size() + third.size()));
    ASSERT_TRUE(connection.WriteDone());
    EXPECT_EQ(0u, connection.QueuedBytes());
    EXPECT_TRUE(connection.GetError().empty());
}

TEST(PipeConnectionBase, ReadsComeInChunksAndABrokenPipeIsSilent)
{
    testsupport::ScopedLogCapture log;
    TestServer server(UniquePipeName(L"reads"), 65536);
    TestConnection connection(server);
    ASSERT_TRUE(connection.StartRead());

    std::string sent;
    for (int i = 0; i < 20000; ++i)
        sent.push_back(static_cast<char>('A' + i % 26));
    ASSERT_TRUE(server.Write(sent));
    while (connection.received.size() < sent.size())
        ASSERT_TRUE(connection.ReadDone());
    EXPECT_EQ(sent, connection.received);
    for (size_t chunk : connection.chunks)
        EXPECT_LE(chunk, 8192u);

    server.Close();
    ASSERT_TRUE(connection.Await(connection.ReadEvent()));
    EXPECT_FALSE(connection.ReadEventProcessing());
    EXPECT_TRUE(connection.GetError().empty()) << connection.GetError();
    EXPECT_FALSE(log.Contains(L"PipeConnectionBase")) << log.Text();

    // A write to the closed pipe fails when it starts and leaves nothing queued.
    EXPECT_TRUE(connection.WriteData("xyz", 3));
    EXPECT_FALSE(connection.WriteDone());
    EXPECT_TRUE(MatchesTrail(connection.GetError(), L"base_wrt_impl", L"[0-9]+")) << connection.GetError();
    EXPECT_EQ(0u, connection.QueuedBytes());
}

namespace {

// Client pipe whose pipe name, notifications and frame consumption the test
// observes: it consumes whole 10-byte records only.
class TestClientPipe : public ipc::ClientPipe
{
public:
    ~TestClientPipe() override
    {
        SetEvent(release.get());
        Stop();
    }
    using ClientPipe::NoteConnectionFailure;
    using ClientPipe::RequestConnect;
    using ClientPipe::RequestPipeSwitch;
    using ClientPipe::WakeConnectionThread;
    using ClientPipe::Waiters;

    void SetName(const std::wstring& name)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_name = name;
    }
    // Starts on pipe `name` and waits for the first connection.
    bool StartOn(const std::wstring& name)
    {
        SetName(name);
        return Start() && WaitFor([&] { return connected.load() == 1; });
    }

    std::atomic<int> waitResults{0};
    std::atomic<DWORD> lastWaitError{0};
    std::atomic<int> connected{0};
    std::atomic<int> failed{0};
    // Written by the connection thread; read once `consumedLength` shows them complete.
    std::vector<size_t> seenLengths;
    std::string consumed;
    std::atomic<size_t> consumedLength{0};
    // While set, GetPipeName sets `naming` and waits for `release`.
    std::atomic<bool> holdName{false};
    ScopedHandle naming{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    ScopedHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};

protected:
    void ConnectionFailed() override { ++failed; }
    void Connected() override { ++connected; }
    void WaitPipeResult(DWORD error) override
    {
        lastWaitError = error;
        ++waitResults;
    }
    size_t ProcessReceivedData(const uint8_t* bytes, size_t length) override
    {
        // A record starting "!A" or "!E" raises, as a failed allocation or
        // any other error would.
        if (length >= 2 && bytes[0] == '!' && bytes[1] == 'A')
            throw std::bad_alloc();
        if (length >= 2 && bytes[0] == '!')
            throw std::runtime_error("boom");
        seenLengths.push_back(length);
        const size_t whole = length - length % 10;
        consumed.append(reinterpret_cast<const char*>(bytes), whole);
        consumedLength = consumed.size();
        return whole;
    }
    std::wstring GetPipeName() override
    {
        if (holdName.load())
        {
            SetEvent(naming.get());
            WaitForSingleObject(release.get(), 20000);
        }
        std::lock_guard<std::mutex> guard(m_lock);
        return m_name;
    }

private:
    std::mutex m_lock;
    std::wstring m_name;
};

// A client pipe connected to the first of two test pipes.
class ClientPipeTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(client.StartOn(firstName) && first.Connected()); }

    const std::wstring firstName = UniquePipeName(L"first");
    const std::wstring nextName = UniquePipeName(L"next");
    TestServer first{firstName};
    TestServer next{nextName};
    TestClientPipe client;
};

}  // namespace

TEST(ClientPipe, KeepsRetryingWhileThereIsNoPipeAndStopsOnRequest)
{
    // No name yet, then a missing pipe (ERROR_FILE_NOT_FOUND).
    TestClientPipe client;
    ASSERT_TRUE(client.Start());
    for (const std::wstring& name : {std::wstring(), UniquePipeName(L"absent")})
    {
        client.SetName(name);
        const int before = client.waitResults.load();
        ASSERT_TRUE(WaitFor([&] { return client.waitResults.load() >= before + 3; }));
        EXPECT_NE(0u, client.lastWaitError.load());
        EXPECT_TRUE(MatchesTrail(client.GetError(), L"wait_pipe", L"[0-9]+")) << client.GetError();
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), client.lastWaitError.load());
    EXPECT_EQ(0, client.connected.load());

    const ULONGLONG start = GetTickCount64();
    client.Stop();
    EXPECT_LT(GetTickCount64() - start, 5000u);
}

TEST_F(ClientPipeTest, ConnectsKeepsPartialRecordsAndReportsTheDroppedPipe)
{
    // 15 bytes: one whole record, five bytes wait for the rest.
    ASSERT_TRUE(first.Write("0123456789abcde"));
    ASSERT_TRUE(WaitFor([&] { return client.consumedLength.load() == 10; }));
    ASSERT_TRUE(first.Write("fghij"));
    ASSERT_TRUE(WaitFor([&] { return client.consumedLength.load() == 20; }));
    EXPECT_EQ("0123456789abcdefghij", client.consumed);
    EXPECT_EQ((std::vector<size_t>{15, 10}), client.seenLengths);

    // A frame larger than the pipe's buffer, handed in by a thread that ends
    // at once, still reaches the server whole.
    const std::string frame(100000, 'w');
    std::thread([&] { EXPECT_TRUE(client.WriteData(frame.data(), frame.size())); }).join();
    const std::string got = first.Read(frame.size());
    EXPECT_TRUE(got == frame) << got.size() << " of " << frame.size() << " bytes";

    first.Close();
    EXPECT_TRUE(WaitFor([&] { return client.failed.load() >= 1; }));
}

TEST_F(ClientPipeTest, ASwitchOpensTheNextPipeBeforeClosingTheCurrentOneAndADropClosesFirst)
{
    // While the next pipe is looked for, the current one is still open.
    client.SetName(nextName);
    client.holdName = true;
    client.RequestPipeSwitch();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(client.naming.get(), 10000));
    EXPECT_TRUE(first.ClientOpen());
    client.holdName = false;
    SetEvent(client.release.get());
    ASSERT_TRUE(WaitFor([&] { return client.connected.load() == 2; }));
    ASSERT_TRUE(next.Connected());
    EXPECT_FALSE(first.ClientOpen()) << "released once the next pipe is open";

    // A dropped connection lets its pipe go before anything else.
    ResetEvent(client.naming.get());
    ResetEvent(client.release.get());
    client.holdName = true;
    client.RequestConnect();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(client.naming.get(), 10000));
    EXPECT_FALSE(next.ClientOpen());
}

TEST_F(ClientPipeTest, ReconnectionBacksOffOnlyWhileNobodyWaits)
{
    // The back-off at its 1 s limit: each wait below ends well before it
    // would, with room for a machine three times slower.
    for (int i = 0; i < 8; ++i)
        client.NoteConnectionFailure();

    // The pause after a drop starts with nobody waiting; a caller that
    // starts waiting ends it.
    client.SetName(nextName);
    client.RequestConnect();
    ASSERT_TRUE(WaitFor([&] { return !first.ClientOpen(); }, 5000));
    const ULONGLONG woken = GetTickCount64();
    ++client.Waiters();
    client.WakeConnectionThread();
    ASSERT_TRUE(WaitFor([&] { return client.connected.load() == 2; }));
    EXPECT_LT(GetTickCount64() - woken, 800u);

    // While that caller still waits, the next drop is followed at once by
    // the next attempt.
    client.SetName(UniquePipeName(L"absent"));
    const int before = client.waitResults.load();
    const ULONGLONG dropped = GetTickCount64();
    client.RequestConnect();
    ASSERT_TRUE(WaitFor([&] { return client.waitResults.load() > before; }));
    EXPECT_LT(GetTickCount64() - dropped, 800u);
}

TEST(ClientPipe, AnExceptionOnTheConnectionThreadDropsOnlyTheConnection)
{
    const std::wstring name = UniquePipeName(L"throwing");
    TestClientPipe client;
    client.SetName(name);
    for (const char* record : {"!A", "!E"})
    {
        TestServer server(name);
        const int connected = client.connected.load();
        const int failed = client.failed.load();
        ASSERT_TRUE(client.Start()) << "asks the same thread for a connection";
        ASSERT_TRUE(WaitFor([&] { return client.connected.load() == connected + 1; }));
        ASSERT_TRUE(server.Connected());
        ASSERT_TRUE(server.Write(record));
        ASSERT_TRUE(WaitFor([&] { return client.failed.load() == failed + 1; }));
    }
    EXPECT_TRUE(MatchesTrail(client.GetError(), L"thrd_exc", L"boom")) << client.GetError();
}
