#include "legato.h"
#include "VeltronaComponent.h"

#include "EnOcean.h"
#include "EnOceanOctave.h"
#include "EnOceanOctaveSensors.h"
#include "ModbusBoard8i8oOctave.h"
#include "ServiceOctaveGPIO.h"
#include "UniversalConverter.h"
#include "UniversalConverterOctave.h"
#include "UniversalConverterOctaveAddON.h"

#include <cstring>
#include <fcntl.h>

uint8_t BoardType = BOARD_NONE;

namespace
{
const char* const EepromBus = "/dev/i2c-5";
const char* const ExpanderBus = "/dev/i2c-8";
const uint8_t EepromAddress = 0x52;
const uint8_t BoardExpanderAddress = 0x3E;
const uint8_t RegDirB = 0x0E;
const uint8_t RegDataB = 0x10;
const size_t BlockSize = 32;

const char* const Signature = "VELTRONA made in Poland";
const char* const ConverterName = "Analog Front Module 4i";
const char* const GatewayName = "Wavelet gateway";
const char* const BaseBoardName = "BasaltBoard++";

const size_t SignatureCompareLen = 23;
const size_t GatewayCompareLen = 7;
// The base-board name is compared over the converter name's length, so block B must end in a zero byte
// right after the 13 characters.
const size_t ConverterCompareLen = 22;

// Reads one 32-byte block at a two-byte memory address; the block is only filled by a complete read.
bool ReadBlock(int fd, uint16_t memoryAddress, char* block)
{
    uint8_t address[2] = {static_cast<uint8_t>(memoryAddress >> 8), static_cast<uint8_t>(memoryAddress & 0xFF)};
    if (pa_i2c_Write(fd, address, sizeof(address)) != 2) return false;
    char data[BlockSize];
    if (pa_i2c_Read(fd, data, BlockSize) != static_cast<ssize_t>(BlockSize)) return false;
    memcpy(block, data, BlockSize);
    return true;
}

void PreparePin8(void)
{
    le_gpioPin8_TryConnectService();
    le_gpioPin8_EnablePullUp();
    le_gpioPin8_SetPushPullOutput(LE_GPIOPIN8_ACTIVE_HIGH, false);
}
}

void Write(uint8_t address, uint8_t reg, uint8_t value)
{
    int fd = pa_i2c_Open(ExpanderBus, O_RDWR);
    if (fd < 0) return;
    if (pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, address) < 0)
    {
        LE_INFO("Error");
        pa_i2c_Close(fd);
        return;
    }
    uint8_t data[2] = {reg, value};
    if (pa_i2c_Write(fd, data, sizeof(data)) == 2)
    {
        LE_INFO("OK");
    }
    else
    {
        LE_INFO("Error");
    }
    pa_i2c_Close(fd);
}

uint8_t ReadEEPROM(void)
{
    uint8_t boardType = BOARD_NONE;
    char blockA[BlockSize];
    char blockB[BlockSize];
    memset(blockA, 0, sizeof(blockA));
    memset(blockB, 0, sizeof(blockB));

    int fd = pa_i2c_Open(EepromBus, O_RDWR);
    if (fd >= 0)
    {
        if (pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, EepromAddress) < 0)
        {
            pa_i2c_Close(fd);
        }
        else
        {
            if (ReadBlock(fd, 0x0004, blockA))
            {
                LE_INFO("%.*s", static_cast<int>(BlockSize), blockA);
            }
            ReadBlock(fd, 0x0024, blockB);

            if (strncmp(blockA, Signature, SignatureCompareLen) == 0)
            {
                LE_INFO("Init Octave...");
                boardType += 1;
            }
            if (strncmp(blockB, GatewayName, GatewayCompareLen) == 0)
            {
                boardType += 2;
            }
            if (strncmp(blockB, ConverterName, ConverterCompareLen) == 0)
            {
                boardType += 1;
            }
            else if (strncmp(blockB, BaseBoardName, ConverterCompareLen) == 0)
            {
                boardType += 1;
            }
            pa_i2c_Close(fd);
        }
    }

    if (boardType != BOARD_ENOCEAN)
    {
        ReadSensors();
        for (size_t i = 0; i < SENSOR_COUNT; i++)
        {
            if (Sensor[i].id[0] != '\0')
            {
                DeleteResourceEO(Sensor[i].id, 0);
                LE_INFO("%s", Sensor[i].id);
            }
        }
    }

    switch (boardType)
    {
        case BOARD_ENOCEAN:
            PreparePin8();
            DeleteMainResourcesUC(3);
            InitEO();
            StartEO();
            break;
        case BOARD_CONVERTER:
            PreparePin8();
            DeleteMainResourcesEO(2);
            InitUC(2);
            StartUC();
            break;
        case BOARD_ADDON_ONLY:
            PreparePin8();
            DeleteMainResourcesEO(1);
            DeleteMainResourcesUC(1);
            InitUC(1);
            break;
        default:
            DeleteAddOnResources(0);
            DeleteMainResourcesBoard8i8o();
            DeleteMainResourcesAddONUC();
            DeleteMainResourcesEO(0);
            DeleteMainResourcesUC(0);
            boardType = BOARD_NONE;
            break;
    }
    return boardType;
}

void _VeltronaComponent_COMPONENT_INIT_ONCE(void)
{
}

void _VeltronaComponent_COMPONENT_INIT(void)
{
    Write(BoardExpanderAddress, RegDirB, 0x00);
    Write(BoardExpanderAddress, RegDataB, 0x01);
    BoardType = ReadEEPROM();
    Write(BoardExpanderAddress, RegDataB, 0x00);

    le_thread_Sleep(10);

    if (BoardType == BOARD_NONE)
    {
        le_appCtrl_ConnectService();
        le_appCtrl_Stop("Veltrona");
        le_appCtrl_DisconnectService();
    }
}
