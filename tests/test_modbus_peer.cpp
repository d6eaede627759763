// The Modbus master against a third-party RTU slave: libmodbus serves a register map on the
// master side of the pseudo-terminal whose slave side is the link's port.
#include "Modbus.h"
#include "component_fixture.h"

#include <modbus.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>

namespace
{
typedef std::vector<uint8_t> Bytes;

std::vector<Bytes> Answers;
void OnAnswer(const uint8_t* answer, size_t size, void*)
{
    Answers.push_back(Bytes(answer, answer + size));
}

const int Registers = 64;
const int Coils = 16;

class ModbusPeer : public PortTest
{
protected:
    ModbusPeer() : PortTest("/dev/ttyHS1") {}

    modbus_t* ctx = nullptr;
    modbus_mapping_t* map = nullptr;
    std::mutex mapMutex;   // the slave thread writes the map while the test reads it
    std::thread slave;
    std::atomic<bool> running{false};

    void SetUp() override
    {
        PortTest::SetUp();
        Answers.clear();
        // The device name is never opened: libmodbus works on the pty's master descriptor.
        ctx = modbus_new_rtu(dir.File("unused-device").c_str(), 9600, 'N', 8, 1);
        ASSERT_NE(ctx, nullptr);
        ASSERT_EQ(modbus_set_slave(ctx, 1), 0);
        ASSERT_EQ(modbus_set_socket(ctx, pty.master), 0);
        ASSERT_EQ(modbus_set_indication_timeout(ctx, 0, 50000), 0);
        map = modbus_mapping_new(Coils, 0, Registers, 0);
        ASSERT_NE(map, nullptr);
        for (int i = 0; i < Registers; i++) map->tab_registers[i] = static_cast<uint16_t>(1000 + i * 7);
        running = true;
        slave = std::thread([this] { ServeSlave(); });
        le_EModbus_Start();
        ASSERT_NE(le_EModbus_AddOnReceiveHandler(OnAnswer, nullptr), nullptr);
    }

    void TearDown() override
    {
        running = false;
        if (slave.joinable()) slave.join();
        le_EModbus_Stop();
        if (map) modbus_mapping_free(map);
        if (ctx) modbus_free(ctx);   // not modbus_close: the fixture closes the pty
        PortTest::TearDown();
    }

    void ServeSlave()
    {
        uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
        while (running)
        {
            int n = modbus_receive(ctx, query);
            if (n <= 0) continue;   // timed out, or a request for another slave
            std::lock_guard<std::mutex> lock(mapMutex);
            modbus_reply(ctx, query, n, map);
        }
    }

    uint16_t Register(int i)
    {
        std::lock_guard<std::mutex> lock(mapMutex);
        return map->tab_registers[i];
    }

    uint8_t Coil(int i)
    {
        std::lock_guard<std::mutex> lock(mapMutex);
        return map->tab_bits[i];
    }

    // Serves the loop until the condition holds (2 s real at most); the pty's master side is
    // libmodbus's, so nothing is collected from it here.
    template <typename Pred>
    bool Serve(Pred done)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!done() && std::chrono::steady_clock::now() < end) le_event_ServiceOnce(5);
        return done();
    }

    // Sends one request (CRC placeholders added) and waits for the answer it brings.
    Bytes RoundTrip(const Bytes& request)
    {
        Bytes frame = request;
        frame.resize(frame.size() + 2, 0);
        size_t before = Answers.size();
        EXPECT_EQ(le_EModbus_SendRequest(frame.data(), frame.size()), LE_OK);
        if (!Serve([&] { return Answers.size() > before; })) return {};
        return Answers.back();
    }

    static Bytes WithCrc(Bytes frame)
    {
        uint16_t crc = CRC(frame.data(), frame.size());
        frame.push_back(static_cast<uint8_t>(crc & 0xFF));
        frame.push_back(static_cast<uint8_t>(crc >> 8));
        return frame;
    }
};
}

TEST_F(ModbusPeer, ReadsAndWritesOfEveryKindAreAnsweredAndSilenceIsDropped)
{
    // An answer to a read of count registers from first, as the map holds them now.
    auto registers = [this](int first, int count) {
        Bytes a = {0x01, 0x03, static_cast<uint8_t>(2 * count)};
        for (int i = first; i < first + count; i++) a.insert(a.end(), {uint8_t(Register(i) >> 8), uint8_t(Register(i))});
        return a;
    };
    struct Row
    {
        Bytes request;
        Bytes answer;
    };
    const Row rows[] = {
        {{0x01, 0x03, 0x00, 0x0A, 0x00, 0x05}, registers(10, 5)},
        {{0x01, 0x03, 0x00, 0x00, 0x00, 0x40}, registers(0, 64)},   // the whole map: 133 bytes
        {{0x01, 0x06, 0x00, 0x0B, 0x12, 0x34}, {0x01, 0x06, 0x00, 0x0B, 0x12, 0x34}},   // one register
        {{0x01, 0x05, 0x00, 0x03, 0xFF, 0x00}, {0x01, 0x05, 0x00, 0x03, 0xFF, 0x00}},   // one coil
        // Registers 20 to 22, then coils 0 to 9 (0, 2 and 8 on).
        {{0x01, 0x10, 0x00, 0x14, 0x00, 0x03, 0x06, 0x00, 0x07, 0x00, 0x08, 0x00, 0x09},
         {0x01, 0x10, 0x00, 0x14, 0x00, 0x03}},
        {{0x01, 0x0F, 0x00, 0x00, 0x00, 0x0A, 0x02, 0x05, 0x01}, {0x01, 0x0F, 0x00, 0x00, 0x00, 0x0A}},
        // Read back.
        {{0x01, 0x03, 0x00, 0x14, 0x00, 0x03}, {0x01, 0x03, 0x06, 0x00, 0x07, 0x00, 0x08, 0x00, 0x09}},
        {{0x01, 0x03, 0x00, 0x0B, 0x00, 0x01}, {0x01, 0x03, 0x02, 0x12, 0x34}},
        {{0x01, 0x01, 0x00, 0x00, 0x00, 0x0A}, {0x01, 0x01, 0x02, 0x05, 0x01}},
        // Register 30 written and register 0 read in one request.
        {{0x01, 0x17, 0x00, 0x00, 0x00, 0x01, 0x00, 0x1E, 0x00, 0x01, 0x02, 0xAB, 0xCD}, {0x01, 0x17, 0x02, 0x03, 0xE8}},
        // Registers beyond the map: the exception answer arrives as an answer, at once.
        {{0x01, 0x03, 0x00, 0x50, 0x00, 0x01}, {0x01, 0x83, 0x02}},
        {{0x01, 0x10, 0x00, 0x50, 0x00, 0x01, 0x02, 0x00, 0x01}, {0x01, 0x90, 0x02}},
    };
    for (const Row& row : rows)
    {
        EXPECT_EQ(RoundTrip(row.request), WithCrc(row.answer)) << int(row.request[1]);
        EXPECT_EQ(ModbusQueuedRequests(), 0u);
    }
    EXPECT_EQ(Register(11), 0x1234);
    EXPECT_EQ(Register(21), 8);
    EXPECT_EQ(Register(30), 0xABCD);
    EXPECT_EQ(Coil(3), 0);   // the multiple write came after the single one
    EXPECT_EQ(Coil(2), 1);
    EXPECT_EQ(Coil(8), 1);

    // Another slave's address: libmodbus keeps silent, and the anti-lock timer drops the request.
    Bytes request = {0x07, 0x03, 0x00, 0x50, 0x00, 0x01, 0x00, 0x00};
    ASSERT_EQ(le_EModbus_SendRequest(request.data(), request.size()), LE_OK);
    ASSERT_TRUE(Serve([] { return le_log_CaptureCount("Request Sent") == 13; }));
    EXPECT_EQ(ModbusQueuedRequests(), 1u);
    le_event_AdvanceMs(3000);
    EXPECT_EQ(ModbusQueuedRequests(), 0u);
    EXPECT_EQ(Answers.size(), 12u);
}
