// The client transport against the reference services, run as a separate
// process, on real pipes; many callers on one connection, with and without
// the service dying in the middle; statistics on the real registry, with a
// second process writing at the same time.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "IpcTestSupport.h"
#include "TransportTestSupport.h"
#include "ipc/ClientPipeCommunications.h"
#include "ipc/CommMessage.h"
#include "ipc/ipc_stats_collector.h"
#include "ipc/PipeName.h"
#include "platform/ScopedHandle.h"
#include "platform/SessionUtils.h"
#include "support/Dacl.h"
#include "support/ImportHook.h"
#include "support/LogCapture.h"
#include "support/TestFiles.h"

using namespace ipctest;
using ipc::ClientPipeCommunications;

namespace {
// The next allocation of exactly this many bytes on the thread that set it
// fails (0: none), as running out of memory would.
thread_local size_t t_failAllocationOf = 0;
}  // namespace

void* operator new(size_t size)
{
    if (t_failAllocationOf != 0 && size == t_failAllocationOf)
    {
        t_failAllocationOf = 0;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size != 0 ? size : 1))
        return p;
    throw std::bad_alloc();
}

namespace {

constexpr DWORD kReadyMs = 20000;

// A client that keeps the error trail of every dropped connection (the drop
// clears it), and can make one handshake run out of memory for its
// authentication buffer.
class TrailClient : public ClientPipeCommunications
{
public:
    std::vector<std::wstring> Trails()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_trails;
    }
    bool HasTrail(const std::wstring& tag)
    {
        const std::vector<std::wstring> trails = Trails();
        return std::any_of(trails.begin(), trails.end(), [&](const auto& t) { return t.rfind(tag + L"#", 0) == 0; });
    }
    std::atomic<bool> failNextAuthenticationBuffer{false};

protected:
    void ConnectionFailed() override
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_trails.push_back(GetError());
        }
        ClientPipeCommunications::ConnectionFailed();
    }
    void Connected() override
    {
        const bool fail = GetState() == kConnecting && failNextAuthenticationBuffer.exchange(false);
        if (fail)
            t_failAllocationOf = 32;  // data, salt and pid string: the tagged message
        ClientPipeCommunications::Connected();
        t_failAllocationOf = 0;
    }

private:
    std::mutex m_lock;
    std::vector<std::wstring> m_trails;
};

class TransportTest : public ::testing::Test
{
protected:
    void SetUp() override { ClearPipeNames(); }
    void TearDown() override
    {
        services.Stop();
        ClearPipeNames();
    }

    // Starts the settings manager service (no settings) with `arguments`.
    bool StartServices(const std::wstring& arguments = L"", const std::function<void(DWORD)>& beforeRun = nullptr)
    {
        const std::wstring settings = services.File(L"settings.json");
        testsupport::WriteFileBytes(settings, "{}");
        return services.Start(L"--settings \"" + settings + L"\" " + arguments, beforeRun);
    }

    // Starts the services and connects `client` to the settings manager.
    bool Start(ClientPipeCommunications& client, const std::wstring& arguments = L"")
    {
        return StartServices(arguments) && client.Initialize(L"SettingManager") && client.WaitForReady(kReadyMs);
    }

    StatsSandbox stats;
    ServicesProcess services;
};

using IpcStats = TransportTest;

ULONGLONG Elapsed(ULONGLONG start)
{
    return GetTickCount64() - start;
}

struct Outcome
{
    std::atomic<int> answered{0};
    std::atomic<int> failed{0};
    std::atomic<int> wrong{0};
};

constexpr int kCallers = 8;
constexpr int kRequestsPerCaller = 500;

void RunCallers(TestClient& client, Outcome& outcome)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < kCallers; ++t)
        threads.emplace_back([&client, &outcome, t] {
            for (int i = 0; i < kRequestsPerCaller; ++i)
            {
                const std::string request = EchoRequest("caller " + std::to_string(t) + " request " +
                                                        std::to_string(i) + std::string(i % 50, '.'));
                const std::string reply = Send(client, request);
                ++(reply == "<none>" ? outcome.failed : reply == request ? outcome.answered : outcome.wrong);
            }
        });
    for (auto& thread : threads)
        thread.join();
}

}  // namespace

TEST_F(TransportTest, ALateReplyIsDiscardedAndTimeoutsAndOversizedFramesAreCounted)
{
    SetStatsSwitch(1);
    testsupport::ScopedLogCapture log;
    TestClient client;
    ASSERT_TRUE(Start(client, L"--delay-ms 1500"));

    // The wait ran its full second (the reply comes after 1.5 s; "258" is the
    // time-out's return).
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ("<none>", Send(client, EchoRequest("late"), L"LateRequest"));
    EXPECT_GE(Elapsed(start), 900u);
    EXPECT_EQ(1u, ReadStat(L"timeouts1000#LateRequest").value_or(0));

    // The reply comes half a second later and reaches nobody.
    EXPECT_TRUE(WaitFor([&] { return log.Contains(L"SettingManager: Request with id=1 not found"); }));
    EXPECT_TRUE(client.PendingRequestIds().empty());
    EXPECT_EQ(ClientPipeCommunications::kReady, client.GetState());

    // An unnamed request is counted under the wait alone.
    EXPECT_EQ("<none>", Send(client, EchoRequest("late too"), L""));
    EXPECT_EQ(1u, ReadStat(L"timeouts1000").value_or(0));

    // Frames one byte too large to send: the frame refuses them, and they are
    // counted under their own keys (the message's lower-case).
    const std::vector<uint8_t> huge(ipc::kMaxMessageSize - ipc::kHeaderSize + 1);
    EXPECT_FALSE(client.SendMessage(huge.data(), static_cast<uint32_t>(huge.size())));
    uint32_t replyLength = 0;
    EXPECT_FALSE(client.SendRequest(L"Huge", huge.data(), static_cast<uint32_t>(huge.size()) - 4, replyLength));
    const std::vector<std::wstring> names = StatNames();
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), L"cl#proto_set"));
    EXPECT_EQ(1u, ReadStat(L"cl#proto_set").value_or(0));
    EXPECT_EQ(1u, ReadStat(L"CL#st_msg_id").value_or(0));
    EXPECT_TRUE(client.PendingRequestIds().empty());
}

TEST_F(TransportTest, StrayRepliesGarbageAndOtherProtocolsAreSkipped)
{
    testsupport::ScopedLogCapture log;
    {
        ClientPipeCommunications client;
        ASSERT_TRUE(Start(client, L"--unknown-id --garbage 7 --send-unsupported --send-event"));
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(EchoRequest("n" + std::to_string(i)), Send(client, EchoRequest("n" + std::to_string(i))));
        EXPECT_EQ(ClientPipeCommunications::kReady, client.GetState());
    }
    // Event notifications go to the task runner; nobody subscribed to this
    // one. Its name holds a line break: the line says so and stays one line.
    EXPECT_TRUE(log.Has(L"DBG", L"ClientPipeCommunications",
                        L"SettingManager: No handler for event SERVICE_EVENT\\r\\n[ERR]forged"))
        << log.Text();
    for (const std::wstring& line : log.Lines())
        EXPECT_EQ(line.size() - 1, line.find_first_of(L"\r\n")) << line;
    EXPECT_FALSE(log.Contains(L"Malformed event notification"));
    // One unknown identifier per request, the matched reply after it: the
    // first is written, the rest summarised.
    EXPECT_TRUE(log.Contains(L"Request with id=" + std::to_wstring(1u ^ 0x40000000u) + L" not found"));
    const std::vector<std::wstring> lines = log.Lines();
    EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(),
                               [](const std::wstring& line) { return line.find(L" not found") != line.npos; }))
        << log.Text();
}

TEST_F(TransportTest, AMalformedReplyIsDroppedAloneAndTheOtherRequestsAreAnswered)
{
    testsupport::ScopedLogCapture log;
    // Each reply follows a 14-byte reply frame and one with identifier 0; the
    // service holds each first request until a second one is in flight.
    TestClient client;
    ASSERT_TRUE(Start(client, L"--malformed-replies --reverse-pairs"));
    for (int round = 0; round < 2; ++round)
    {
        const std::string first = EchoRequest("first-" + std::to_string(round));
        const std::string second = EchoRequest("second-" + std::to_string(round));
        std::string reply;
        std::thread other([&] { reply = Send(client, second); });
        EXPECT_EQ(first, Send(client, first));
        other.join();
        EXPECT_EQ(second, reply);
    }
    EXPECT_EQ(ClientPipeCommunications::kReady, client.GetState());
    // The trail of the last malformed reply stays for the statistics.
    EXPECT_EQ(0u, client.GetError().rfind(L"no_id#", 0)) << client.GetError();
    EXPECT_FALSE(log.Contains(L":Connection failed in state")) << log.Text();
}

// A service that answers with a broken frame or closes the pipe: the waiting
// request returns at once and the client connects again. (The scanner's test
// has every header it refuses.)
TEST_F(TransportTest, AWaitingRequestReturnsAtOnceWhenTheConnectionDropsAndTheClientReconnects)
{
    for (const wchar_t* arguments : {L"--bad-header tiny", L"--close-after 1"})
    {
        SCOPED_TRACE(testing::Message() << arguments);
        testsupport::ScopedLogCapture log;
        TestClient client;
        ASSERT_TRUE(Start(client, arguments));
        EXPECT_EQ("<none>", Send(client, EchoRequest("doomed")));
        EXPECT_FALSE(log.Contains(L"was not successful")) << "the drop ended the wait, not the time-out";
        EXPECT_TRUE(client.PendingRequestIds().empty());
        // The connection starts over and becomes ready again.
        EXPECT_TRUE(client.WaitForReady(kReadyMs));
    }
}

TEST_F(TransportTest, ARequestGivesUpAfterOneSpinWhileTheRegistryPipeIsMissing)
{
    SetStatsSwitch(1);
    ASSERT_TRUE(RegisterPipeName(L"SettingManager", L"\\\\.\\pipe\\Zelnor.Pathwarden.nobody-listens"));
    {
        ClientPipeCommunications client;
        ASSERT_TRUE(client.Initialize(L"SettingManager"));
        ASSERT_TRUE(WaitFor([&] { return client.GetSpinCount() == 1; }));

        testsupport::ScopedLogCapture log;
        EXPECT_EQ("<none>", Send(client, EchoRequest("nobody")));
        EXPECT_TRUE(log.Has(L"DBG", L"ClientPipeCommunications", L"###:SettingManager:waited spin count 1, state 1"))
            << log.Text();

        // The failure is counted under the connection's error trail.
        const std::vector<std::wstring> names = StatNames();
        const std::wregex trail(L"CL#wait_pipe#.*#2");
        EXPECT_TRUE(std::any_of(names.begin(), names.end(), [&](const auto& n) { return std::regex_match(n, trail); }));

        // The service starts and registers itself; the client finds it.
        ASSERT_TRUE(StartServices());
        ASSERT_TRUE(client.WaitForReady(kReadyMs));
        EXPECT_EQ(ClientPipeCommunications::kDefaultSpinCount, client.GetSpinCount());
        EXPECT_EQ(EchoRequest("found"), Send(client, EchoRequest("found")));
    }
    // Every send was counted.
    EXPECT_EQ(2u, ReadStat(L"totals").value_or(0));
}

// Every pipe the client opens, with its flags, while a test hooks CreateFileW.
struct OpenedPipe
{
    std::wstring path;
    DWORD flags;
};
std::mutex g_openedLock;
std::vector<OpenedPipe> g_opened;
decltype(&CreateFileW) g_realCreateFile = nullptr;

HANDLE WINAPI RecordingCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                  DWORD disposition, DWORD flags, HANDLE templateFile)
{
    {
        std::lock_guard<std::mutex> lock(g_openedLock);
        g_opened.push_back(OpenedPipe{path != nullptr ? path : L"", flags});
    }
    return g_realCreateFile(path, access, share, security, disposition, flags, templateFile);
}

// An answer that does not verify (the one wiring case of the answers the
// format tests refuse), a refusal, a frame behind the answer, a missing
// transport pipe, or a transport pipe that a second process serves: the
// client never becomes ready (a request fails), opens
// nothing but the registry's pipe (and the foreign one, to learn who serves
// it), and keeps trying, backing off to a second between attempts while
// nobody waits (checked once: what follows a refused attempt is the same
// whatever the failure; short and altered answers are the authenticator
// test's). Every pipe is opened for identification only.
TEST_F(TransportTest, TheClientRefusesAFailedHandshakeAndKeepsTrying)
{
    const std::tuple<const wchar_t*, const wchar_t*, const wchar_t*> cases[] = {
        {L"--handshake wrong-pids", L"Failed to verify received handshake response from server", L"auth_failed"},
        {L"--handshake refuse", L"###:SettingManager:Connection failed in state 2", nullptr},
        {L"--handshake extra-frame", L"Unexpected state 3", L"bad_state"},
        {L"--missing-transport", L"Missing transport pipe case", nullptr},
        {L"--handshake foreign-transport", L"###:SettingManager:Transport pipe served by process ", L"srv_pid"},
    };
    bool backOffChecked = false;
    for (const auto& [arguments, logged, trail] : cases)
    {
        SCOPED_TRACE(testing::Message() << arguments);
        testsupport::ScopedLogCapture log;
        ASSERT_TRUE(StartServices(arguments));
        const std::wstring firstPipe = ipc::PipeName(L"SettingManager");
        ASSERT_FALSE(firstPipe.empty());
        const bool foreign = std::wstring(arguments).find(L"foreign") != std::wstring::npos;
        const std::wstring foreignPipe = firstPipe.substr(0, firstPipe.rfind(L'.') + 1) + L"foreign";
        {
            g_opened.clear();
            testsupport::ImportHook hook("kernel32.dll", "CreateFileW", reinterpret_cast<void*>(&RecordingCreateFile));
            ASSERT_TRUE(hook.Installed());
            g_realCreateFile = reinterpret_cast<decltype(&CreateFileW)>(hook.Original());
            TrailClient client;
            // Each failed attempt drops the connection once.
            const auto attempts = [&client] { return client.Trails().size(); };
            client.Initialize(L"SettingManager");
            EXPECT_TRUE(WaitFor([&] { return attempts() >= 2; })) << log.Text();
            EXPECT_FALSE(client.WaitForReady(0));
            EXPECT_TRUE(log.Contains(logged)) << log.Text();
            if (trail != nullptr)
            {
                EXPECT_TRUE(client.HasTrail(trail)) << testing::PrintToString(client.Trails());
            }
            if (!backOffChecked)
            {
                EXPECT_EQ("<none>", Send(client, EchoRequest("refused")));
                backOffChecked = true;
                const auto before = attempts();
                const ULONGLONG start = GetTickCount64();
                EXPECT_TRUE(WaitFor([&] { return attempts() >= before + 2; }, 10000));
                EXPECT_GE(Elapsed(start), 900u) << "a refusing service is not hammered";
            }
        }
        std::lock_guard<std::mutex> lock(g_openedLock);
        ASSERT_FALSE(g_opened.empty());
        bool openedForeign = false;
        std::wstring elsewhere;
        size_t impersonable = 0;
        for (const OpenedPipe& opened : g_opened)
        {
            openedForeign |= opened.path == foreignPipe;
            if (opened.path != firstPipe && !(foreign && opened.path == foreignPipe))
                elsewhere += opened.path + L" ";
            impersonable += (opened.flags & SECURITY_VALID_SQOS_FLAGS) != (SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION);
        }
        EXPECT_EQ(L"", elsewhere) << "opened";
        EXPECT_EQ(0u, impersonable) << "of " << g_opened.size() << " opened without SECURITY_IDENTIFICATION";
        EXPECT_EQ(foreign, openedForeign) << "the foreign pipe is opened to learn its server, and dropped";
    }
}

// A refusing service, a registry without the services' key and a first pipe
// on another host, each retried for a while by an idle client: at levels 1 to
// 3 every failure is written once, then only summaries (from 100 ms here),
// which account for every repeat. A remote first pipe is never tried: it has
// a line and a trail of its own.
TEST_F(TransportTest, RepeatedConnectionFailuresAreWrittenOnceThenSummarised)
{
    const std::wstring remote = L"\\\\elsewhere\\pipe\\Zelnor.Pathwarden.1.SettingManager";
    const std::pair<std::wstring, std::vector<std::wstring>> cases[] = {
        {L"no key", {L"[WRN]Failed to open Pathwarden registry key. Error 2"}},
        {remote, {L"[ERR]###:SettingManager:Pipe path from the registry is not a local pipe: " + remote}},
        {L"--handshake wrong-pids",
         {L"[ERR]HMAC authentication failed", L"[ERR]Failed to verify received handshake response from server"}},
    };
    for (const auto& [peer, expected] : cases)
    {
        SCOPED_TRACE(testing::Message() << peer);
        services.Stop();
        ClearPipeNames();
        if (peer == remote)
        {
            ASSERT_TRUE(RegisterPipeName(L"SettingManager", remote));
        }
        if (peer[0] == L'-')
        {
            ASSERT_TRUE(StartServices(peer));
        }
        testsupport::ScopedLogCapture log;
        {
            TestClient client(1'000'000);
            client.Begin(L"SettingManager");
            Sleep(4000);
            EXPECT_EQ(peer == remote, client.GetError().rfind(L"pipe_path#", 0) == 0) << client.GetError();
        }
        const std::wregex summary(L".*\\]: Repeated (\\d+) more times? in \\d+ s.*\n");
        std::vector<std::wstring> written;
        unsigned long repeats = 0;
        size_t attempts = 0;
        for (const std::wstring& line : log.Lines())
        {
            std::wsmatch match;
            attempts += line.find(L"###:SettingManager:Connection failed in state 2") != std::wstring::npos;
            const size_t text = line.find(L"]: ") + 3;
            if (std::regex_match(line, match, summary))
                repeats += std::stoul(match[1].str());
            else if (line.rfind(L"[DBG]", 0) != 0)
                written.push_back(line.substr(0, 5) + line.substr(text, line.size() - text - 1));
        }
        EXPECT_EQ(expected, written) << log.Text();
        EXPECT_LT(0u, repeats);
        if (attempts != 0)
        {
            EXPECT_EQ(attempts * expected.size(), repeats + expected.size()) << log.Text();
        }
    }
}

// A service that stops reading: the client queues up to its write budget,
// then refuses each further send at once with a line written once, and the
// frames queued before go out in full once the service reads again.
TEST_F(TransportTest, APeerThatStopsReadingCostsOnlyTheWriteBudget)
{
    const std::wstring events = services.File(L"events.jsonl");
    ASSERT_TRUE(StartServices(L"--events \"" + events + L"\" --pause-reading 5000"));
    const std::string message = "{\"VERB\":\"TriggerHubEvent\",\"PAYLOAD\":{\"eventName\":\"BIG\",\"eventValue\":\"" +
                                std::string(1 << 20, 'b') + "\"}}";
    testsupport::ScopedLogCapture log;
    ClientPipeCommunications client;
    ASSERT_TRUE(client.Begin(L"SettingManager"));
    ASSERT_TRUE(client.WaitForReady(kReadyMs));
    constexpr size_t kBudget = ipc::PipeConnectionBase::kWriteQueueBudget;
    size_t sent = 0;
    int refused = 0;
    while (refused < 3 && sent < 2 * kBudget / message.size())
    {
        if (client.SendMessage(message.data(), static_cast<uint32_t>(message.size())))
            ++sent;
        else
            ++refused;
    }
    ASSERT_EQ(3, refused);
    const size_t queued = client.QueuedBytes();
    EXPECT_LE(queued, kBudget);
    EXPECT_GT(queued + 2 * (message.size() + ipc::kHeaderSize), kBudget);
    // Each of the refusal's two lines is written once.
    for (const wchar_t* text : {L"]: Write queue full: ", L": Failed to write message\n"})
    {
        const std::vector<std::wstring> lines = log.Lines();
        EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(), [&](const auto& l) { return l.find(text) != l.npos; }))
            << log.Text();
    }
    EXPECT_EQ(sent, testsupport::FileLines(events, sent, 120000).size());
}

// The names the services' first and transport pipes once had (process ID,
// service, counter) are created by someone else before the services listen:
// the connection is ready when Initialize returns, as without them.
TEST_F(TransportTest, PipeNamesSquattedBeforeTheServicesListenDoNotDelayTheConnection)
{
    std::vector<ipc::ScopedHandle> squatted;
    ASSERT_TRUE(StartServices(L"", [&squatted](DWORD pid) {
        const std::wstring first = L"\\\\.\\pipe\\Zelnor.Pathwarden." + std::to_wstring(pid) + L".SettingManager";
        for (int i = 0; i <= 300; ++i)
        {
            const std::wstring name = i == 0 ? first : first + L"." + std::to_wstring(i);
            squatted.emplace_back(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE,
                                                   PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
            ASSERT_TRUE(squatted.back().valid()) << GetLastError();
        }
    }));
    ClientPipeCommunications client;
    ASSERT_TRUE(client.Initialize(L"SettingManager"));
    EXPECT_EQ(ClientPipeCommunications::kReady, client.GetState());
    EXPECT_EQ(EchoRequest("mine"), Send(client, EchoRequest("mine")));
}

// A handshake out of memory for its buffer fails that attempt only. The
// service withdraws the transport pipe when the client leaves the first pipe
// before it opened the transport pipe: the client opens first, so the only
// drop is the one the fault made.
TEST_F(TransportTest, AHandshakeOutOfMemoryFailsThatAttemptOnlyAndTheTransportPipeIsOpenedFirst)
{
    TrailClient client;
    client.failNextAuthenticationBuffer = true;
    ASSERT_TRUE(Start(client, L"--withdraw-transport"));
    EXPECT_FALSE(client.failNextAuthenticationBuffer.load()) << "the fault was put in";
    EXPECT_EQ(EchoRequest("after"), Send(client, EchoRequest("after")));
    const std::vector<std::wstring> trails = client.Trails();
    ASSERT_EQ(1u, trails.size()) << testing::PrintToString(trails);
    EXPECT_TRUE(client.HasTrail(L"auth_buf")) << trails[0];
}

TEST_F(TransportTest, AConnectionStuckInTheHandshakeIsDroppedAsStale)
{
    testsupport::ScopedLogCapture log;
    ASSERT_TRUE(StartServices(L"--handshake silent"));
    {
        TestClient client;
        client.Initialize(L"SettingManager");
        ASSERT_TRUE(WaitFor([&] { return client.GetState() == ClientPipeCommunications::kHandshakeSent; }));
        // 31 s pass for the client; the next idle notification (5 s) notices.
        client.clockOffset = 310'000'000;
        EXPECT_TRUE(WaitFor([&] { return log.Contains(L"SettingManager:Connection is stale in state 2"); }, 30000))
            << log.Text();
    }
}

namespace {

// SetEvent as the library calls it. While armed, the first call made on
// another thread than `heldCaller` (the connection thread waking a caller)
// lands only after kHeldSignalMs, as if that thread were preempted just then.
constexpr DWORD kHeldSignalMs = ClientPipeCommunications::kReplyWaitMs + 300;
std::atomic<bool> g_holdNextSignal{false};
std::atomic<DWORD> g_heldCaller{0};
std::atomic<int> g_heldSignals{0};
std::atomic<void*> g_setEvent{nullptr};

BOOL WINAPI HeldSetEvent(HANDLE event)
{
    if (GetCurrentThreadId() != g_heldCaller.load() && g_holdNextSignal.exchange(false))
    {
        ++g_heldSignals;
        Sleep(kHeldSignalMs);
    }
    return reinterpret_cast<BOOL(WINAPI*)(HANDLE)>(g_setEvent.load())(event);
}

}  // namespace

// The reply is taken from the table while the caller still waits, and its
// signal lands after the wait ran out: the caller returns it, and the event
// is used again only once that signal has landed.
TEST_F(TransportTest, AReplyArrivingAsTheWaitRunsOutIsTakenByTheCaller)
{
    testsupport::ScopedLogCapture log;
    TestClient client;
    ASSERT_TRUE(Start(client));
    ASSERT_EQ(EchoRequest("warm"), Send(client, EchoRequest("warm")));

    g_setEvent = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetEvent"));
    testsupport::ImportHook hook("kernel32.dll", "SetEvent", reinterpret_cast<void*>(&HeldSetEvent));
    ASSERT_TRUE(hook.Installed());
    g_heldCaller = GetCurrentThreadId();
    g_heldSignals = 0;
    g_holdNextSignal = true;
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(EchoRequest("just in time"), Send(client, EchoRequest("just in time")));
    EXPECT_GE(Elapsed(start), ClientPipeCommunications::kReplyWaitMs);
    g_holdNextSignal = false;
    EXPECT_EQ(1, g_heldSignals.load()) << "the reply's signal was held";
    // The next request reuses the event: no stray signal wakes it early.
    EXPECT_EQ(EchoRequest("next"), Send(client, EchoRequest("next")));
    EXPECT_FALSE(log.Contains(L"was not successful")) << log.Text();
    EXPECT_TRUE(client.PendingRequestIds().empty());
}

TEST_F(TransportTest, RequestIdentifiersWrapAroundAndSkipThoseStillWaiting)
{
    TestClient client;
    ASSERT_TRUE(Start(client, L"--delay-ms 500"));
    // After 0xFFFFFFFF comes 1 (0 is never used); when the counter comes round
    // to 1 while the request with that identifier still waits, 2 is next.
    const std::pair<uint32_t, uint32_t> steps[] = {{0xFFFFFFFE, 0xFFFFFFFF}, {0xFFFFFFFF, 1}, {0, 2}};
    std::string replies[3];
    std::vector<std::thread> callers;
    for (int i = 0; i < 3; ++i)
    {
        client.SetLastRequestId(steps[i].first);
        callers.emplace_back([&, i] { replies[i] = Send(client, EchoRequest(std::to_string(i))); });
        EXPECT_TRUE(WaitFor([&] {
            const std::vector<uint32_t> ids = client.PendingRequestIds();
            return std::find(ids.begin(), ids.end(), steps[i].second) != ids.end();
        })) << i;
    }
    for (int i = 0; i < 3; ++i)
    {
        callers[i].join();
        EXPECT_EQ(EchoRequest(std::to_string(i)), replies[i]);
    }
}

// A third of the way through, the service dies and comes back; until then
// every caller has had its own reply.
// The services trust their clients no more than the library trusts them: a
// request nested past the library's limit is refused before parsing (the
// parser recurses once per level), and the service lives on.
TEST_F(TransportTest, TheServicesRefuseARequestNestedTooDeep)
{
    ClientPipeCommunications client;
    ASSERT_TRUE(Start(client));
    const std::string deep = "{\"VERB\":\"echo\",\"PAYLOAD\":" + std::string(200000, '[') + std::string(200000, ']') + "}";
    const std::string event = "{\"VERB\":\"TriggerHubEvent\",\"PAYLOAD\":{\"eventName\":" + std::string(200000, '[') +
                              std::string(200000, ']') + "}}";
    EXPECT_TRUE(client.SendMessage(event.data(), static_cast<uint32_t>(event.size())));
    EXPECT_NE(std::string::npos, Send(client, deep).find("request is not a JSON object"));
    EXPECT_TRUE(services.Running());
    EXPECT_EQ(EchoRequest("still here"), Send(client, EchoRequest("still here")));
}

// Clients may read and write the services' first pipe but not add an
// instance of their own to it, which would let them answer other clients.
// (That the services create it as its first instance, so that a squatter's
// pipe makes them fail, cannot be seen here: Wine 8 ignores the flag.)
TEST_F(TransportTest, ClientsCannotAddInstancesToTheServicesFirstPipe)
{
    ASSERT_TRUE(StartServices());
    const std::wstring first = ipc::PipeName(L"SettingManager");
    ASSERT_FALSE(first.empty());
    const ipc::ScopedHandle pipe(
        CreateFileW(first.c_str(), READ_CONTROL, 0, nullptr, OPEN_EXISTING, SECURITY_SQOS_PRESENT, nullptr));
    ASSERT_TRUE(pipe.valid()) << GetLastError();
    const std::wstring user = Groundwork::CurrentUserSidString();
    std::wstring creators;
    DWORD authenticatedUsers = 0;
    for (const auto& [sid, mask] : testsupport::AllowedAces(pipe.get()))
    {
        if (sid == L"S-1-5-11")
            authenticatedUsers |= mask;
        if ((mask & FILE_CREATE_PIPE_INSTANCE) != 0 && sid != user && sid != L"S-1-5-18")
            creators += sid + L" ";
    }
    EXPECT_EQ(static_cast<DWORD>(FILE_READ_DATA | FILE_WRITE_DATA),
              authenticatedUsers & (FILE_READ_DATA | FILE_WRITE_DATA | FILE_CREATE_PIPE_INSTANCE));
    EXPECT_EQ(L"", creators) << "may add instances";
}

TEST_F(TransportTest, EightCallersShareOneConnectionAcrossAServiceRestart)
{
    TestClient client;
    ASSERT_TRUE(Start(client));
    ASSERT_EQ(EchoRequest("warm"), Send(client, EchoRequest("warm")));
    const DWORD handlesBefore = OpenHandleCount();
    ASSERT_GT(handlesBefore, 0u) << "handles are counted";

    Outcome outcome;
    std::atomic<int> failedBeforeKill{-1};
    std::atomic<int> answeredAtRestart{-1};
    std::atomic<bool> restarted{false};
    std::thread killer([&] {
        WaitFor([&] { return outcome.answered.load() + outcome.failed.load() >= kCallers * kRequestsPerCaller / 3; },
                120000);
        failedBeforeKill = outcome.failed.load();
        services.Kill();
        restarted = StartServices();
        answeredAtRestart = outcome.answered.load();
    });
    RunCallers(client, outcome);
    killer.join();
    ASSERT_TRUE(restarted.load());
    EXPECT_EQ(0, failedBeforeKill.load()) << "nothing failed while the service ran";
    EXPECT_EQ(kCallers * kRequestsPerCaller, outcome.answered.load() + outcome.failed.load());
    EXPECT_EQ(0, outcome.wrong.load());
    EXPECT_GT(outcome.failed.load(), 0);                           // the outage was seen
    EXPECT_GT(outcome.answered.load(), answeredAtRestart.load());  // and the new service answered
    EXPECT_TRUE(client.PendingRequestIds().empty());
    // A handle per request would be thousands; a few are the system's own
    // first use of these threads.
    EXPECT_LE(OpenHandleCount(), handlesBefore + 16);
}

// A connection goes at once, whatever it still has queued for a service
// that does not read (for 5 s after each pipe opens: the handshake waits).
TEST_F(TransportTest, DestroyingAConnectionNeverWaitsForAServiceThatDoesNotRead)
{
    ASSERT_TRUE(StartServices(L"--pause-reading 5000"));
    auto client = std::make_unique<ClientPipeCommunications>();
    ASSERT_TRUE(client->Begin(L"SettingManager"));
    ASSERT_TRUE(client->WaitForReady(kReadyMs));
    const std::string big = "{\"VERB\":\"TriggerHubEvent\",\"PAYLOAD\":\"" + std::string(256 * 1024, 'b') + "\"}";
    EXPECT_TRUE(client->SendMessage(big.data(), static_cast<uint32_t>(big.size())));
    const ULONGLONG start = GetTickCount64();
    client.reset();
    EXPECT_LT(Elapsed(start), 2000u);  // milliseconds when it does not wait
}

TEST_F(IpcStats, NothingIsWrittenOrLoggedWithoutTheSwitchAndSwitchingOnStartsAfresh)
{
    // Absent or 0, the switch is off.
    testsupport::ScopedLogCapture log;
    for (const std::optional<DWORD> off : {std::optional<DWORD>(), std::optional<DWORD>(0)})
    {
        SetStatsSwitch(off);
        {
            ipc::ipc_stats_collector stats;
            stats.RecordTimeout(1000, L"GetSetting");
            Groundwork::MutexLock lock(stats.Lock());
            stats.Increment(ipc::ipc_stats_collector::kTotalsKey);
            stats.RefreshConfig();
            EXPECT_FALSE(stats.IsEnabled());
            EXPECT_EQ(1u, stats.PendingCount(ipc::ipc_stats_collector::kTotalsKey));
            EXPECT_EQ(0u, stats.PendingCount(ipc::ipc_stats_collector::TimeoutKey(1000, L"GetSetting")));
        }
        EXPECT_FALSE(StatsKeyExists());
    }
    EXPECT_TRUE(log.Lines().empty()) << log.Text();

    // Switching on discards the counts gathered while off.
    ipc::ipc_stats_collector stats;
    Groundwork::MutexLock lock(stats.Lock());
    stats.Increment(ipc::ipc_stats_collector::kTotalsKey);
    stats.Increment(L"CL#pipe_is_not_ready");

    SetStatsSwitch(1);
    stats.RefreshConfig();
    EXPECT_TRUE(stats.IsEnabled());
    EXPECT_EQ(0u, stats.PendingCount(ipc::ipc_stats_collector::kTotalsKey));
    stats.Increment(ipc::ipc_stats_collector::kTotalsKey);
    stats.Flush(0);
    EXPECT_EQ(1u, ReadStat(L"totals").value_or(0));
    EXPECT_FALSE(ReadStat(L"CL#pipe_is_not_ready").has_value());
    EXPECT_EQ(0u, stats.PendingCount(ipc::ipc_stats_collector::kTotalsKey));

    // The product key deleted and made again: the switch is read from the new one.
    Groundwork::CRegKey company;
    ASSERT_EQ(ERROR_SUCCESS, company.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zelnor", kWrite));
    ASSERT_EQ(ERROR_SUCCESS, company.RecurseDeleteKey(L"Pathwarden"));
    stats.RefreshConfig();
    EXPECT_FALSE(stats.IsEnabled());
    SetStatsSwitch(1);
    stats.RefreshConfig();
    EXPECT_TRUE(stats.IsEnabled());
}

TEST_F(IpcStats, AValueOfAnotherTypeIsLeftAloneAndItsCountKept)
{
    SetStatsSwitch(1);
    Groundwork::CRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.Create(HKEY_LOCAL_MACHINE, ipc::ipc_stats_collector::StatsKeyPath().c_str(), nullptr,
                                        REG_OPTION_NON_VOLATILE, kWrite));
    ASSERT_EQ(ERROR_SUCCESS, key.SetDWORDValue(L"totals", 7));
    testsupport::ScopedLogCapture log;
    ipc::ipc_stats_collector stats;
    Groundwork::MutexLock lock(stats.Lock());
    stats.Increment(ipc::ipc_stats_collector::kTotalsKey);
    stats.Increment(L"CL#write_error");
    stats.Flush(0);
    EXPECT_TRUE(log.Contains(L"Failed to query value \"totals\"")) << log.Text();
    EXPECT_EQ(1u, stats.PendingCount(ipc::ipc_stats_collector::kTotalsKey));
    EXPECT_EQ(1u, ReadStat(L"CL#write_error").value_or(0));

    DWORD stored = 0;
    EXPECT_EQ(ERROR_SUCCESS, key.QueryDWORDValue(L"totals", stored));
    EXPECT_EQ(7u, stored);
    key.DeleteValue(L"totals");
    stats.Increment(ipc::ipc_stats_collector::kTotalsKey);
    stats.Flush(0);
    EXPECT_EQ(2u, ReadStat(L"totals").value_or(0));
}

TEST_F(IpcStats, ConcurrentFlushesOfTwoProcessesAddUp)
{
    SetStatsSwitch(1);
    const std::string eventName = "vantu-stats-start-" + std::to_string(GetCurrentProcessId());
    ipc::ScopedHandle start(CreateEventA(nullptr, TRUE, FALSE, eventName.c_str()));
    ipc::ScopedHandle ready(CreateEventA(nullptr, TRUE, FALSE, (eventName + "-ready").c_str()));
    ASSERT_TRUE(start.valid() && ready.valid());

    constexpr int kHelperCount = 400;
    constexpr int kOwnCount = 400;
    ChildProcess helper;
    ASSERT_TRUE(helper.Launch(L"ipc_test_helper.exe", L"stats " +
                              std::to_wstring(kHelperCount) + L" " + std::wstring(eventName.begin(), eventName.end())));

    // Both writers start together, each with its collector (and mutex
    // handle) ready.
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready.get(), 60000));
    {
        ipc::ipc_stats_collector stats;
        SetEvent(start.get());
        for (int i = 0; i < kOwnCount; ++i)
        {
            Groundwork::MutexLock lock(stats.Lock());
            stats.Increment(ipc::ipc_stats_collector::kTotalsKey);
            stats.Flush(INFINITE);
        }
    }
    ASSERT_EQ(0u, helper.Wait(120000).value_or(99));
    EXPECT_EQ(static_cast<ULONGLONG>(kHelperCount + kOwnCount), ReadStat(L"totals").value_or(0));
}

// Holds the machine-wide statistics mutex on a thread of its own, as another
// process would, until destroyed.
struct StatsMutexHolder
{
    StatsMutexHolder() { EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held.get(), 10000)); }
    ~StatsMutexHolder()
    {
        SetEvent(done.get());
        thread.join();
    }
    ipc::ScopedHandle held{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    ipc::ScopedHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::thread thread{[this] {
        ipc::ScopedHandle mutex(CreateMutexA(nullptr, FALSE, ipc::ipc_stats_collector::kMutexName));
        if (WaitForSingleObject(mutex.get(), 10000) != WAIT_OBJECT_0)
            return;
        SetEvent(held.get());
        WaitForSingleObject(done.get(), 60000);
        ReleaseMutex(mutex.get());
    }};
};

// Counts reach the registry with no flush asked for. A flush that finds the
// mutex held tries again later by itself, and a collector that goes
// meanwhile does not wait for the mutex: it drops its counts.
TEST_F(IpcStats, CountsArriveByThemselvesAndAFlushThatFindsTheMutexHeldTriesAgain)
{
    SetStatsSwitch(1);
    ipc::ipc_stats_collector stats;
    const auto count = [](ipc::ipc_stats_collector& collector) {
        Groundwork::MutexLock lock(collector.Lock());
        collector.Increment(ipc::ipc_stats_collector::kTotalsKey);
    };
    count(stats);
    EXPECT_TRUE(WaitFor([] { return ReadStat(L"totals").value_or(0) == 1; }));

    std::future<void> destroyed;
    {
        StatsMutexHolder held;
        count(stats);
        destroyed = std::async(std::launch::async, [&count] {
            ipc::ipc_stats_collector other;
            count(other);
        });
        EXPECT_EQ(std::future_status::ready, destroyed.wait_for(std::chrono::seconds(10)));
        ipc::ipc_stats_collector::FlushAll();  // instead of the flush the counts scheduled
        EXPECT_EQ(1u, ReadStat(L"totals").value_or(0));
    }
    EXPECT_TRUE(WaitFor([] { return ReadStat(L"totals").value_or(0) >= 2; }));
    EXPECT_EQ(2u, ReadStat(L"totals").value_or(0));
}

