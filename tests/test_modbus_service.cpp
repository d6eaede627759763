// le_EModbus against the real veltrona, whose Modbus master talks to the simulated slave.
#include "e2e_support.h"
#include "le_EModbus_client.h"
#include "le_EModbus_interface.h"
#include "le_msg.h"
#include "sim_process.h"

#include <cstring>

namespace
{
typedef std::vector<uint8_t> Bytes;

struct Answer
{
    int handler;
    Bytes data;
};
std::vector<Answer> Answers;

void OnAnswer(const uint8_t* data, size_t size, void* context)
{
    Answers.push_back({static_cast<int>(reinterpret_cast<intptr_t>(context)), Bytes(data, data + size)});
}

void* Context(int n)
{
    return reinterpret_cast<void*>(static_cast<intptr_t>(n));
}

const Bytes ReadThree = {0x01, 0x03, 0x00, 0x05, 0x00, 0x03, 0x00, 0x00};   // registers 5 to 7

class ModbusService : public EndToEnd
{
protected:
    Program veltrona;

    void SetUp() override
    {
        Answers.clear();
        StartGateway(&veltrona, "addon");
        ASSERT_EQ(le_msg_SetServiceDirectory((Runtime() + "/services").c_str()), LE_OK);
    }

    int Tool(const std::string& args, std::string* out)
    {
        return RunCommand(std::string(MODBUS_BIN) + " --runtime-dir '" + Runtime() + "' " + args + " 2>&1", out);
    }

    // On a session of its own, a message the client library would never send: the service closes
    // that session.
    void SendRawAndSeeItClosed(uint32_t id, const void* body, size_t size)
    {
        le_msg_SessionRef_t raw = le_msg_CreateSession(
            le_msg_GetProtocolRef(LE_EMODBUS_PROTOCOL_ID, LE_EMODBUS_LARGEST_MSG), "le_EModbus");
        ASSERT_EQ(le_msg_TryOpenSessionSync(raw), LE_OK);
        le_msg_MessageRef_t m = le_msg_CreateMsg(raw);
        uint8_t* p = static_cast<uint8_t*>(le_msg_GetPayloadPtr(m));
        memcpy(p, &id, 4);
        memcpy(p + 4, body, size);
        le_msg_SetPayloadSize(m, 4 + size);
        le_msg_Send(m);
        EXPECT_TRUE(Until([raw] { return !le_msg_IsSessionOpen(raw); })) << id;
        le_msg_DeleteSession(raw);
    }
};
}

TEST_F(ModbusService, TheToolStartsSetsTheSpeedSendsAndPrintsTheAnswersToEveryListener)
{
    std::string out;
    EXPECT_EQ(RunCommand(std::string(MODBUS_BIN) + " --help", &out), 0);
    EXPECT_NE(out.find("Usage: modbus"), std::string::npos);
    const struct
    {
        const char* args;
        int status;
        const char* says;
    } steps[] = {
        {"send '01 03 00 05 00 03'", 1, "request refused"},   // never started
        {"start", 0, "REQUESTED\n"},
        {"send '01 03 00 05 00 03'", 0, "01 03 06 00 50 00 60 00 70 e0 83\n"},   // register N holds N * 16
        {"send '01 06 00 05 12 34'", 0, "01 06 00 05 12 34 94 bc\n"},   // the echo
        {"send 010300050001", 0, "01 03 02 12 34 b5 33\n"},
        // By slave, address and count, the answer decoded; a function the slave lacks is named.
        {"read holding 1 5 3", 0, "5\t4660\n6\t96\n7\t112\n"}, {"write register 1 6 7", 0, "OK\n"},
        {"read holding 1 6 1", 0, "6\t7\n"}, {"write coil 1 3 1", 0, "OK\n"}, {"read coils 1 0 4", 0, "3\t1\n"},
        {"read inputs 1 0 8", 1, "slave 1 answered exception 1 (illegal function)"},
        {"write register 1 0 1 2", 1, "exception 1 (illegal function)"},
        {"read holding 0 5 1", 2, "SLAVE is 1 to 247"}, {"read holding 1 5 126", 2, "COUNT of holding is 1 to 125"},
        {"write coil 1 3 2", 2, "coil values are 0 or 1"}, {"read holding 2 5 1 --timeout 0.5", 3, "slave 2 did not answer"},
        {"send '02 03 00 05 00 01' --timeout 4", 3, "0 of 1 answers"},   // no slave 2
        // A request of another length gets its CRC too; the simulated slave knows no function 16
        // and says so with an exception answer, which comes back as an answer.
        {"send '01 10 00 00 00 01 02 00 07'", 0, "01 90 01 8d c0\n"},
        {"send '01 05 00 40 ff 00'", 0, "01 85 02"},   // coil 64: beyond the slave's 64 coils
        {"send '01'", 2, "HEX is 2 to 254 bytes"},
        {"baud 9600", 1, "DUPLICATE"},
        {"baud 1200", 1, "1200 is not a rate the link takes: 2400, 4800, 9600"},
        {"baud 19200", 0, "OK"},
        {"stop", 0, "REQUESTED"},
        {"send 010300050001", 1, "request refused"},
        {"send 0103zz", 2, "HEX is"},
        {"frobnicate", 2, "modbus: unknown command 'frobnicate' (see --help)\n"},
    };
    std::string heard = dir.File("listen.txt");
    pid_t listener = -1;
    for (const auto& step : steps)
    {
        EXPECT_EQ(Tool(step.args, &out), step.status) << step.args << ": " << out;
        EXPECT_NE(out.find(step.says), std::string::npos) << step.args << ": " << out;
        if (listener > 0 || std::string(step.args) != "start") continue;
        listener = simProcess_Start(MODBUS_BIN, {"--runtime-dir", Runtime(), "listen", "--timeout", "30"}, heard, false);
        ASSERT_GT(listener, 0);
        // Registered once it hears an answer.
        ASSERT_TRUE(Becomes(std::string(MODBUS_BIN) + " --runtime-dir '" + Runtime() + "' send 010300050001 >/dev/null; " +
                                "test -s '" + heard + "' && echo heard",
                            "heard", &out));
    }
    EXPECT_EQ(RunCommand(std::string(MODBUS_BIN) + " --runtime-dir /nonexistent start 2>/dev/null", &out), 2);
    // The simulated slave's registers and coils are set from simboard, within its map only.
    const std::string simboard = std::string(SIMBOARD_BIN) + " --runtime-dir '" + Runtime() + "' set ";
    const std::pair<const char*, int> sets[] = {{"modbus.reg.127 7", 0}, {"modbus.reg.128 1", 1},
                                                {"modbus.coil.63 1", 0}, {"modbus.coil.3 2", 1}};
    for (const auto& set : sets) EXPECT_EQ(RunCommand(simboard + set.first + " 2>&1", &out), set.second) << out;
    EXPECT_EQ(veltrona.Interrupt(10), 0);
    EXPECT_NE(ReadTextFile(Log()).find("Modbus Stop."), std::string::npos);
    // The listener heard what the tool's requests brought, then that the service went away.
    EXPECT_EQ(simProcess_Wait(listener, 10000), 2) << ReadTextFile(heard);
    EXPECT_NE(ReadTextFile(heard).find("01 06 00 05 12 34 94 bc\n"), std::string::npos) << ReadTextFile(heard);
    EXPECT_NE(ReadTextFile(heard).find("modbus: le_EModbus went away"), std::string::npos) << ReadTextFile(heard);
}

TEST_F(ModbusService, ClientHandlersHearEveryGoodAnswerInOrderAndBadRequestsCloseOnlyTheirSession)
{
    ASSERT_EQ(le_EModbus_TryConnectService(), LE_OK);
    EXPECT_EQ(le_EModbus_AddOnReceiveHandler(OnAnswer, Context(1)), nullptr);   // before any start
    EXPECT_EQ(le_EModbus_SendRequest(ReadThree.data(), ReadThree.size()), LE_FAULT);
    ASSERT_EQ(le_EModbus_Start(), LE_OK);
    ASSERT_NE(le_EModbus_AddOnReceiveHandler(OnAnswer, Context(1)), nullptr);
    le_EModbus_ReceiveHandlerRef_t second = le_EModbus_AddOnReceiveHandler(OnAnswer, Context(2));
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(le_EModbus_SendRequest(ReadThree.data(), ReadThree.size()), LE_OK);
    ASSERT_TRUE(Until([] { return Answers.size() >= 2; }));
    EXPECT_EQ(Answers[0].handler, 1);
    EXPECT_EQ(Answers[1].handler, 2);
    EXPECT_EQ(Answers[0].data, Answers[1].data);
    EXPECT_EQ(Answers[0].data.size(), 11u);

    // Another client removing a reference it was never given (this client's first handler), and
    // one whose request of 257 bytes does not unpack, lose their session and nothing else.
    uint64_t guessed = 3;
    SendRawAndSeeItClosed(LE_EMODBUS_REMOVE_RECEIVE_HANDLER, &guessed, sizeof(guessed));
    std::vector<uint8_t> body(4 + 257, 0x01);
    uint32_t length = 257;
    memcpy(body.data(), &length, 4);
    SendRawAndSeeItClosed(LE_EMODBUS_SEND_REQUEST, body.data(), body.size());

    // 256 bytes go out whole with the CRC in their last two: the slave takes them as one frame
    // of a length it does not serve, and answers with an exception.
    Bytes big(256, 0x00);
    const uint8_t head[] = {0x01, 0x03, 0x00, 0x2F, 0x00, 0x01};
    memcpy(big.data(), head, sizeof(head));
    le_EModbus_RemoveOnReceiveHandler(second);
    ASSERT_EQ(le_EModbus_SendRequest(big.data(), big.size()), LE_OK);
    ASSERT_TRUE(Until([] { return Answers.size() >= 3; }));
    EXPECT_EQ(Answers[2].handler, 1);
    EXPECT_EQ(Bytes(Answers[2].data.begin(), Answers[2].data.begin() + 3), Bytes({0x01, 0x83, 0x01}));
    Bytes tooBig(257, 0x01);
    EXPECT_EQ(le_EModbus_SendRequest(tooBig.data(), tooBig.size()), LE_BAD_PARAMETER);

    // A stop from a client closes the link for everyone until the next start.
    ASSERT_EQ(le_EModbus_Stop(), LE_OK);
    EXPECT_EQ(le_EModbus_SendRequest(ReadThree.data(), ReadThree.size()), LE_FAULT);
    ASSERT_EQ(le_EModbus_Start(), LE_OK);
    ASSERT_EQ(le_EModbus_SendRequest(ReadThree.data(), ReadThree.size()), LE_OK);
    ASSERT_TRUE(Until([] { return Answers.size() >= 4; }));
    EXPECT_EQ(Answers.size(), 4u);
    le_EModbus_DisconnectService();
    EXPECT_EQ(veltrona.Interrupt(10), 0);
    std::string log = ReadTextFile(Log());
    EXPECT_NE(log.find("| Invalid reference"), std::string::npos) << log;
    EXPECT_NE(log.find("le_EModbus: Error unpacking message (le_EModbus_SendRequest)"), std::string::npos) << log;
}

TEST_F(ModbusService, AClientThatDiesLeavesNoHandlerAndTheNextAnswerGoesToTheLiveOneOnly)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        if (le_EModbus_TryConnectService() != LE_OK || le_EModbus_Start() != LE_OK) _exit(1);
        if (le_EModbus_AddOnReceiveHandler(OnAnswer, nullptr) == nullptr) _exit(1);
        kill(getpid(), SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    // The program notices the closed session in its own time.
    ASSERT_TRUE(Until([&] { return Count(ReadTextFile(Log()), "is closed !!!") == 1; })) << ReadTextFile(Log());

    // (A client disconnecting inside its handler is the client core's, met by the le_EnOcean tests.)
    ASSERT_EQ(le_EModbus_TryConnectService(), LE_OK);
    ASSERT_NE(le_EModbus_AddOnReceiveHandler(OnAnswer, Context(1)), nullptr);
    ASSERT_EQ(le_EModbus_SendRequest(ReadThree.data(), ReadThree.size()), LE_OK);
    ASSERT_TRUE(Until([] { return Answers.size() >= 1; }));
    le_EModbus_DisconnectService();
    EXPECT_EQ(veltrona.Interrupt(10), 0);
    std::string log = ReadTextFile(Log());
    std::string last = log.substr(log.rfind("Request Sent"));
    EXPECT_EQ(Count(last, "| ----"), 1u) << last;
}
