// IPC over Unix sockets: sessions, protocol checks, message size, operation dispatch.
#include "le_clock.h"
#include "le_event.h"
#include "le_ipcService.h"
#include "le_log.h"
#include "le_thread.h"
#include "pa_socket.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
const char* const ProtocolId = "1b7f08c638d26cd5fb4bacd321a055b9";
const size_t Largest = 272;

std::atomic<int> Closes{0};
std::atomic<int> Opens{0};
std::atomic<bool> ServerReady{false};
le_msg_ServiceRef_t Service = nullptr;

// The service's operations: 0 answers its argument (u32) plus one, from a request of exactly 8
// bytes; 1 sends an event to the session, then answers; 2 never answers.
std::atomic<size_t> EchoRoom{0};   // buffer room of the last request echoed
const uint32_t EventMarker = 0xE7E7;
const le_ipc_Operation_t Operations[] = {
    {"Echo",
     [](le_msg_MessageRef_t msg) {
         if (le_msg_GetPayloadSize(msg) != 8) return false;
         EchoRoom = le_msg_GetMaxPayloadSize(msg);
         ++static_cast<uint32_t*>(le_msg_GetPayloadPtr(msg))[1];
         le_msg_Respond(msg);
         return true;
     }},
    {"Event",
     [](le_msg_MessageRef_t msg) {
         le_msg_MessageRef_t event = le_msg_CreateMsg(le_msg_GetSession(msg));
         memcpy(le_msg_GetPayloadPtr(event), &EventMarker, 4);
         le_msg_SetPayloadSize(event, 4);
         le_msg_Send(event);
         le_msg_SetPayloadSize(msg, 4);
         le_msg_Respond(msg);
         return true;
     }},
    {"Silent", [](le_msg_MessageRef_t msg) {
         le_msg_ReleaseMsg(msg);
         return true;
     }}};
const le_ipc_ServiceDef_t Def = {"le_Test", ProtocolId, Largest, Operations, 3};

void* ServerMain(void*)
{
    Service = le_ipc_AdvertiseService(&Def);
    le_msg_AddServiceCloseHandler(Service, [](le_msg_SessionRef_t, void*) { Closes++; }, nullptr);
    le_msg_AddServiceOpenHandler(Service, [](le_msg_SessionRef_t, void*) { Opens++; }, nullptr);
    ServerReady = true;
    le_event_RunLoop();
    return nullptr;
}

// What a client below le_msg must send first.
std::string Handshake()
{
    std::string hello("VMSG", 4);
    uint32_t n = static_cast<uint32_t>(strlen(ProtocolId));
    hello.append(reinterpret_cast<char*>(&n), 4).append(ProtocolId);
    uint32_t largest = Largest;
    return hello.append(reinterpret_cast<char*>(&largest), 4);
}

bool Write(int fd, const void* data, size_t size)
{
    return write(fd, data, size) == static_cast<ssize_t>(size);
}

// Whether fd becomes readable within the time.
bool Readable(int fd, int timeoutMs)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

// A raw client on path that has sent the handshake and read its answer (0: accepted).
int RawSession(const std::string& path)
{
    int fd = ConnectUnix(path);
    std::string hello = Handshake();
    char status = 1;
    EXPECT_TRUE(fd >= 0 && Write(fd, hello.data(), hello.size()) && Readable(fd, 3000) && read(fd, &status, 1) == 1);
    EXPECT_EQ(status, 0);
    return fd;
}

class MsgTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        le_log_SetStderr(false);
        le_log_CaptureStart();
        Closes = 0;
        Opens = 0;
        ASSERT_EQ(le_msg_SetServiceDirectory(dir_.Path().c_str()), LE_OK);
        server_ = le_thread_Create("server", ServerMain, nullptr);
        le_thread_SetJoinable(server_);
        le_thread_Start(server_);
        while (!ServerReady) usleep(1000);
    }

    void TearDown() override
    {
        le_event_StopLoop(server_, 0);
        le_thread_Join(server_, nullptr);
        ServerReady = false;
    }

    le_msg_SessionRef_t Open(const char* service = "le_Test")
    {
        le_msg_SessionRef_t s = le_msg_CreateSession(le_msg_GetProtocolRef(ProtocolId, Largest), service);
        EXPECT_EQ(le_msg_TryOpenSessionSync(s), LE_OK);
        return s;
    }

    // Sends operation id with an argument; returns the answered value (0 for an answer without
    // one) or -1 when no answer came.
    long Call(le_msg_SessionRef_t s, uint32_t id, uint32_t arg)
    {
        le_msg_MessageRef_t m = le_msg_CreateMsg(s);
        uint32_t* p = static_cast<uint32_t*>(le_msg_GetPayloadPtr(m));
        p[0] = id;
        p[1] = arg;
        le_msg_SetPayloadSize(m, 8);
        le_msg_MessageRef_t r = le_msg_RequestSyncResponse(m);
        if (r == nullptr) return -1;
        uint32_t v = le_msg_GetPayloadSize(r) >= 8 ? static_cast<uint32_t*>(le_msg_GetPayloadPtr(r))[1] : 0;
        le_msg_ReleaseMsg(r);
        return v;
    }

    void SendOneWay(le_msg_SessionRef_t s, uint32_t id)
    {
        le_msg_MessageRef_t m = le_msg_CreateMsg(s);
        memcpy(le_msg_GetPayloadPtr(m), &id, 4);
        le_msg_SetPayloadSize(m, 8);
        le_msg_Send(m);
    }

    template <typename T>
    bool WaitFor(const std::atomic<T>& value, T atLeast)
    {
        for (int i = 0; i < 2000 && value.load() < atLeast; i++) usleep(1000);
        return value.load() >= atLeast;
    }

    TempDir dir_;
    le_thread_Ref_t server_ = nullptr;
};
}

TEST_F(MsgTest, MessagesAreSizedByWhatTheyCarryAndNeverExceedTheLargest)
{
    le_msg_SessionRef_t s = Open();
    EXPECT_EQ(Call(s, 0, 41), 42);
    EXPECT_EQ(EchoRoom.load(), 8u);   // a received request holds what came, not 272 bytes
    EXPECT_TRUE(WaitFor(Opens, 1));

    le_msg_MessageRef_t m = le_msg_CreateSizedMsg(s, 12);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(le_msg_GetMaxPayloadSize(m), 12u);
    memset(le_msg_GetPayloadPtr(m), 0xAB, 12);
    EXPECT_TRUE(le_msg_ReservePayload(m, Largest));
    EXPECT_EQ(static_cast<uint8_t*>(le_msg_GetPayloadPtr(m))[11], 0xAB);   // content kept
    EXPECT_FALSE(le_msg_ReservePayload(m, Largest + 1));
    EXPECT_EQ(le_msg_GetMaxPayloadSize(m), Largest);
    le_msg_ReleaseMsg(m);
    EXPECT_EQ(le_msg_CreateSizedMsg(s, Largest + 1), nullptr);
    le_msg_DeleteSession(s);
    EXPECT_TRUE(WaitFor(Closes, 1));
    le_event_RunUntilIdle();
}

// (An unknown id or a request that does not unpack is met by the end-to-end service tests.)
TEST_F(MsgTest, AFrameAnnouncingMoreThanTheLargestClosesOnlyThatSession)
{
    le_msg_SessionRef_t good = Open();
    int fd = RawSession(dir_.File("le_Test"));
    uint32_t header[3] = {Largest + 1, 1, 1};
    ASSERT_TRUE(Write(fd, header, sizeof(header)));
    EXPECT_TRUE(WaitFor(Closes, 1));
    EXPECT_EQ(le_log_CaptureCountAt(LE_LOG_ERR, "message larger than 272 bytes"), 1u);
    close(fd);
    EXPECT_EQ(Call(good, 0, 7), 8);
    le_msg_DeleteSession(good);
    le_event_RunUntilIdle();
}

namespace
{
std::atomic<int> Events{0};
void OnEvent(le_msg_MessageRef_t msg, void*)
{
    if (memcmp(le_msg_GetPayloadPtr(msg), &EventMarker, 4) == 0) Events++;
    le_msg_ReleaseMsg(msg);
}
void OnClientClose(le_msg_SessionRef_t, void* closed)
{
    *static_cast<bool*>(closed) = true;
}
bool IsTrue(void* flag)
{
    return *static_cast<bool*>(flag);
}
bool EventsAbove(void* count)
{
    return Events.load() > *static_cast<int*>(count);
}
}

namespace
{
// A server below le_msg that answers the one request it gets and sends an event in the same
// write, so that the client reads both at once; the event may claim more than the protocol allows.
std::atomic<bool> OversizedEvent{false};
void* AnswerAndEventInOneWrite(void* listener)
{
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(listener));
    fd = Readable(fd, 3000) ? accept(fd, nullptr, nullptr) : -1;
    if (fd < 0) return nullptr;
    std::string hello = Handshake();
    std::string got(hello.size(), '\0');
    char ok = 0;
    uint32_t request[5] = {};
    if (recv(fd, &got[0], got.size(), MSG_WAITALL) == static_cast<ssize_t>(got.size()) && got == hello &&
        write(fd, &ok, 1) == 1 && recv(fd, request, sizeof(request), MSG_WAITALL) == sizeof(request))
    {
        uint32_t eventSize = OversizedEvent ? 1000 : 4;
        uint32_t both[] = {8, 3, request[2], request[3], request[4] + 1, eventSize, 4, 0, EventMarker};
        EXPECT_TRUE(Write(fd, both, sizeof(both)));
        char end;
        EXPECT_EQ(read(fd, &end, 1), 0);   // held open until the client leaves
    }
    close(fd);
    return nullptr;
}
}

class RawServerTest : public MsgTest, public ::testing::WithParamInterface<bool>
{
};

TEST_P(RawServerTest, EventReadTogetherWithTheAnswerIsDeliveredOrAnOversizedOneClosesTheSession)
{
    OversizedEvent = GetParam();
    int listener = pa_socket_ListenUnix(dir_.File("le_Raw").c_str(), 1);
    ASSERT_GE(listener, 0);
    le_thread_Ref_t raw = le_thread_Create("raw", AnswerAndEventInOneWrite,
                                           reinterpret_cast<void*>(static_cast<intptr_t>(listener)));
    le_thread_SetJoinable(raw);
    le_thread_Start(raw);

    le_msg_SessionRef_t s = Open("le_Raw");
    le_msg_SetSessionRecvHandler(s, OnEvent, nullptr);
    bool closed = false;
    le_msg_SetSessionCloseHandler(s, OnClientClose, &closed);
    int before = Events.load();
    EXPECT_EQ(Call(s, 0, 41), 42);   // the answer itself is good either way
    if (GetParam())
    {
        EXPECT_TRUE(le_event_RunUntil(IsTrue, &closed, 2000));
        EXPECT_FALSE(le_msg_IsSessionOpen(s));
        EXPECT_EQ(le_log_CaptureCountAt(LE_LOG_ERR, "message from the server too large"), 1u);
    }
    else
    {
        EXPECT_TRUE(le_event_RunUntil(EventsAbove, &before, 2000));
        EXPECT_FALSE(closed);
    }
    le_msg_DeleteSession(s);
    le_thread_Join(raw, nullptr);
    close(listener);
    le_event_RunUntilIdle();
}
INSTANTIATE_TEST_SUITE_P(MsgTest, RawServerTest, ::testing::Values(false, true));

namespace
{
// Counts the events it hears and deletes its own session on the first one.
int HeardBeforeDelete = 0;
void DeleteOwnSessionOnEvent(le_msg_MessageRef_t msg, void*)
{
    HeardBeforeDelete++;
    le_msg_SessionRef_t session = le_msg_GetSession(msg);
    le_msg_ReleaseMsg(msg);
    le_msg_DeleteSession(session);
}
}

TEST_F(MsgTest, AClientMayDeleteItsSessionInsideItsOwnEventHandler)
{
    // Two events each time: read by the loop, or read during calls and delivered later from the
    // loop. The first handler call deletes the session; the second event goes nowhere.
    for (bool duringCalls : {false, true})
    {
        HeardBeforeDelete = 0;
        le_msg_SessionRef_t s = Open();
        le_msg_SetSessionRecvHandler(s, DeleteOwnSessionOnEvent, nullptr);
        bool closed = false;
        le_msg_SetSessionCloseHandler(s, OnClientClose, &closed);
        for (int i = 0; i < 2; i++)
        {
            if (duringCalls) Call(s, 1, 0);
            else SendOneWay(s, 1);
        }
        if (!duringCalls) usleep(50000);   // both events are waiting on the socket
        EXPECT_TRUE(le_event_RunUntil([](void*) { return HeardBeforeDelete > 0; }, nullptr, 2000));
        le_event_RunUntil([](void*) { return false; }, nullptr, 100);
        EXPECT_EQ(HeardBeforeDelete, 1) << duringCalls;
        EXPECT_FALSE(closed);   // deleted by the client: no close notice
        EXPECT_TRUE(WaitFor(Closes, duringCalls ? 2 : 1));
    }
}

TEST_F(MsgTest, ACallWithoutAnAnswerEndsAtTheTimeoutAndClosesItsSession)
{
    le_msg_SessionRef_t s = Open();
    le_msg_SetCallTimeout(200);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Call(s, 2, 0), -1);
    EXPECT_TRUE(le_msg_LastCallTimedOut());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_FALSE(le_msg_IsSessionOpen(s));   // a late answer is never taken for another call's
    le_msg_DeleteSession(s);
    s = Open();
    EXPECT_EQ(Call(s, 0, 1), 2);
    EXPECT_FALSE(le_msg_LastCallTimedOut());
    le_msg_SetCallTimeout(-1);
    le_msg_DeleteSession(s);
    le_event_RunUntilIdle();
}

TEST_F(MsgTest, SessionsBeyondTheLimitAreRefusedAsBusy)
{
    std::vector<le_msg_SessionRef_t> sessions;
    for (int i = 0; i < LE_MSG_MAX_SESSIONS; i++) sessions.push_back(Open());
    le_msg_SessionRef_t extra = le_msg_CreateSession(le_msg_GetProtocolRef(ProtocolId, Largest), "le_Test");
    EXPECT_EQ(le_msg_TryOpenSessionSync(extra), LE_BUSY);
    EXPECT_EQ(le_log_CaptureCountAt(LE_LOG_ERR, "client refused: 64 sessions are open"), 1u);
    EXPECT_EQ(Call(sessions.back(), 0, 2), 3);   // the others are still served
    le_msg_DeleteSession(sessions.back());
    sessions.pop_back();
    ASSERT_TRUE(WaitFor(Closes, 1));
    EXPECT_EQ(le_msg_TryOpenSessionSync(extra), LE_OK);
    EXPECT_EQ(Call(extra, 0, 3), 4);
    le_msg_DeleteSession(extra);
    for (le_msg_SessionRef_t s : sessions) le_msg_DeleteSession(s);
    le_event_RunUntilIdle();
}

TEST_F(MsgTest, ListeningPausesWhileClientsCannotBeAcceptedAndResumes)
{
    // Use up the descriptors but one, which the client's socket takes: the server cannot accept it.
    DescriptorsUsedUp full;
    int client = ConnectUnix(dir_.File("le_Test"));
    ASSERT_GE(client, 0);
    usleep(700 * 1000);   // listening is retried every 500 ms, not in a busy loop
    size_t failures = le_log_CaptureCount("cannot accept a client");
    EXPECT_GE(failures, 1u);
    EXPECT_LE(failures, 3u);
    full.Release();
    // The client that waited is served once listening resumes.
    std::string hello = Handshake();
    ASSERT_TRUE(Write(client, hello.data(), hello.size()));
    ASSERT_TRUE(Readable(client, 3000));
    char status = 1;
    ASSERT_EQ(read(client, &status, 1), 1);
    EXPECT_EQ(status, 0);
    close(client);
}

class MsgVirtualClockTest : public MsgTest
{
protected:
    void SetUp() override
    {
        le_clk_SetMode(LE_CLK_VIRTUAL);
        MsgTest::SetUp();
    }
};

TEST_F(MsgVirtualClockTest, AClientThatNeverCompletesItsHandshakeIsClosed)
{
    int fd = ConnectUnix(dir_.File("le_Test"));
    ASSERT_GE(fd, 0);
    // The start of a hello and nothing more; on the virtual clock the server may already have
    // given up by the time it arrives.
    if (send(fd, "VMSG", 4, MSG_NOSIGNAL) != 4)
    {
    }
    ASSERT_TRUE(Readable(fd, 3000));
    // Closed without an answer: the end, or a reset when the hello was still unread at the close.
    char byte;
    ssize_t got = read(fd, &byte, 1);
    EXPECT_TRUE(got == 0 || (got < 0 && errno == ECONNRESET)) << got << " " << strerror(errno);
    close(fd);
    EXPECT_TRUE(WaitFor(Closes, 1));
    EXPECT_EQ(le_log_CaptureCount("closing session (no handshake within 5 s)"), 1u);
    EXPECT_EQ(Opens.load(), 0);
}
