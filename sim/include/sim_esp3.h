// A simulated EnOcean transceiver behind a pseudo-terminal. It answers every COMMON_COMMAND frame
// with a RESPONSE (return code 0, OK) and sends the telegrams of a fixed set of sensors, one every
// period: the ten decoded profiles, UTE teach-ins for the VLD sensors and a secure sensor with its
// secure teach-in.
#pragma once

#include <cstddef>
#include <cstdint>

struct SimEsp3Sensor
{
    uint32_t id;
    const char* eep;   // the profile its telegrams follow
};

// The scripted sensors, in the order their telegrams are sent.
const SimEsp3Sensor* simEsp3_Sensors(size_t* count);

// Opens the pty and starts the transceiver's thread; the slave's path (what the gateway opens as
// its serial port) is copied to slavePath. periodMs 0 sends no telegrams.
bool simEsp3_Start(unsigned periodMs, char* slavePath, size_t slavePathSize);
void simEsp3_Stop(void);
// COMMON_COMMAND frames received and telegrams sent so far.
unsigned simEsp3_CommandCount(void);
unsigned simEsp3_TelegramCount(void);

// Builds one ESP3 frame (sync, header, CRCs) into out; returns its length, 0 if out is too small.
size_t simEsp3_Frame(uint8_t packetType, const uint8_t* data, size_t dataSize, const uint8_t* opt, size_t optSize,
                     uint8_t* out, size_t outSize);
// The radio telegram (data and optional data as a whole frame) of sensor index k, step s of its
// cycle; returns the frame length.
size_t simEsp3_SensorFrame(size_t k, unsigned step, uint8_t* out, size_t outSize);
