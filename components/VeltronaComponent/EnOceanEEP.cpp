#include "EnOceanEEP.h"
#include "EnOcean.h"
#include "EnOceanOctaveSensors.h"

#include <cstdio>
#include <strings.h>

namespace
{
const double HumidityFactor = 100.0 / 255.0;
const double TemperatureFactor = 80.0 / 1023.0;

// A telegram too short for the bytes a profile reads gives no value, so it falls back to raw.
bool Has(size_t length, size_t lastIndex)
{
    return length > lastIndex;
}

void RockerSwitch(const uint8_t* data, size_t n, char* out, size_t size)
{
    if (!Has(n, 1)) return;
    int button;
    switch (data[1])
    {
        case 0x00: button = -1; break;
        case 0x10: button = 0; break;
        case 0x30: button = 1; break;
        case 0x50: button = 2; break;
        case 0x70: button = 3; break;
        default: return;
    }
    snprintf(out, size, "{\"Button0\":%d,\"Button1\":%d,\"Button2\":%d,\"Button3\":%d}", button == 0, button == 1,
             button == 2, button == 3);
}

void SingleContact(const uint8_t* data, size_t n, char* out, size_t size)
{
    if (!Has(n, 1)) return;
    snprintf(out, size, "{\"Magnet_present\":%d}", (data[1] & 0x01) ? 1 : 0);
}

void Occupancy(const uint8_t* data, size_t n, char* out, size_t size)
{
    if (!Has(n, 4)) return;
    double volts = (data[4] & 0x01) ? data[1] * 0.02 : -1.0;
    snprintf(out, size, "{\"Volts\":%0.2f,\"Occupancy\":%d}", volts, data[3]);
}

void HumidityTemperature10Bit(const uint8_t* data, size_t n, char* out, size_t size)
{
    if (!Has(n, 3)) return;
    double humidity = data[1] * HumidityFactor;
    double temperature = ((data[2] & 0x03) * 256 + data[3]) * TemperatureFactor - 20;
    snprintf(out, size, "{\"Humidity\":%0.2f,\"Temperature\":%0.2f}", humidity, temperature);
}

void HumidityTemperature(const uint8_t* data, size_t n, char* out, size_t size)
{
    if (!Has(n, 4)) return;
    double humidity = data[2] * 0.4;
    if (data[4] & 0x02)
        snprintf(out, size, "{\"Humidity\":%0.2f,\"Temperature\":%0.2f}", humidity, data[3] * 0.16);
    else
        snprintf(out, size, "{\"Humidity\":%0.2f}", humidity);
}

void Co2(const uint8_t* data, size_t n, char* out, size_t size)
{
    if (!Has(n, 4)) return;
    double co2 = data[2] * 10.0;
    double humidity = data[1] * 0.5;
    double temperature = data[3] * 0.2;
    bool hasHumidity = data[4] & 0x04;
    bool hasTemperature = data[4] & 0x02;
    if (hasHumidity && hasTemperature)
        snprintf(out, size, "{\"CO2\":%0.2f,\"Humidity\":%0.2f,\"Temperature\":%0.2f}", co2, humidity, temperature);
    else if (hasHumidity)
        snprintf(out, size, "{\"CO2\":%0.2f,\"Humidity\":%0.2f}", co2, humidity);
    else if (hasTemperature)
        snprintf(out, size, "{\"CO2\":%0.2f,\"Temperature\":%0.2f}", co2, temperature);
    else
        snprintf(out, size, "{\"CO2\":%0.2f}", co2);
}

// Current clamps: 12-bit channel values in amperes, tenths when the divisor flag is set.
bool Currents(const uint8_t* data, size_t n, int channels, double* amps)
{
    static const size_t lastByte[] = {3, 4, 6};
    if (!Has(n, lastByte[channels - 1]) || (data[1] & 0x80)) return false;   // power fail
    double raw[3] = {data[2] * 16.0 + (data[3] >> 4), (data[3] & 0x0F) * 256.0 + (Has(n, 4) ? data[4] : 0),
                     Has(n, 6) ? data[5] * 16.0 + (data[6] >> 4) : 0.0};
    for (int c = 0; c < channels; c++) amps[c] = (data[1] & 0x40) ? raw[c] / 10 : raw[c];
    return true;
}

void Current1(const uint8_t* data, size_t n, char* out, size_t size)
{
    double a[3];
    if (Currents(data, n, 1, a)) snprintf(out, size, "{\"Current\":%0.2f}", a[0]);
}

void Current3(const uint8_t* data, size_t n, char* out, size_t size)
{
    double a[3];
    if (Currents(data, n, 3, a))
        snprintf(out, size, "{\"Current1\":%0.2f, \"Current2\":%0.2f, \"Current3\":%0.2f}", a[0], a[1], a[2]);
}

void Current2(const uint8_t* data, size_t n, char* out, size_t size)
{
    double a[3];
    if (Currents(data, n, 2, a)) snprintf(out, size, "{\"Current1\":%0.2f, \"Current2\":%0.2f}", a[0], a[1]);
}

void Temperatures(const uint8_t* data, size_t n, char* out, size_t size)
{
    if (!Has(n, 4)) return;
    float t[3];
    for (int k = 2; k <= 4; k++)
    {
        t[k - 2] = (data[k] == 0xFE || data[k] == 0xFF) ? -1000.0f : static_cast<float>(data[k] * 0.5 - 20);
    }
    snprintf(out, size,
             "{\"Battery\":\"%s\", \"Temperature1\":%0.2f, \"Temperature2\":%0.2f, \"Temperature3\":%0.2f}",
             (data[1] & 0x80) ? "Low" : "OK", static_cast<double>(t[0]), static_cast<double>(t[1]),
             static_cast<double>(t[2]));
}

struct Profile
{
    const char* name;
    void (*decode)(const uint8_t* data, size_t n, char* out, size_t size);
};

const Profile Profiles[] = {
    {"F60203", RockerSwitch}, {"D50001", SingleContact}, {"A50701", Occupancy}, {"A50403", HumidityTemperature10Bit},
    {"A50401", HumidityTemperature}, {"A50904", Co2}, {"D23200", Current1}, {"D23202", Current3},
    {"D23201", Current2}, {"D20A01", Temperatures},
};

// {"RawData": "<hex of data[1..]>"}; cut at a whole byte so the text stays valid JSON within
// EEP_JSON_MAX characters.
void RawData(const uint8_t* data, size_t n, char* out, size_t size)
{
    static const char prefix[] = "{\"RawData\": \"";
    static const char suffix[] = "\"}";
    size_t limit = size - 1 < EEP_JSON_MAX ? size - 1 : EEP_JSON_MAX;
    size_t room = limit - (sizeof(prefix) - 1) - (sizeof(suffix) - 1);
    size_t len = snprintf(out, size, "%s", prefix);
    for (size_t i = 1; i < n && 2 * i <= room; i++) len += snprintf(out + len, size - len, "%02X", data[i]);
    snprintf(out + len, size - len, "%s", suffix);
}
}

bool DecodeEEP(const char* eep, const uint8_t* data, size_t length, char* json, size_t jsonSize)
{
    if (json == nullptr || jsonSize < 16) return false;
    size_t size = jsonSize < EEP_JSON_MAX + 1 ? jsonSize : EEP_JSON_MAX + 1;
    json[0] = '\0';
    for (const Profile& p : Profiles)
    {
        if (eep != nullptr && strcasecmp(eep, p.name) == 0)
        {
            p.decode(data, length, json, size);
            break;
        }
    }
    if (json[0] != '\0') return false;
    RawData(data, length, json, size);
    return true;
}

void SendOctave(int index, const uint8_t* data, size_t length)
{
    if (index < 0 || index >= SENSOR_COUNT || data == nullptr || length == 0) return;
    char json[EEP_JSON_MAX + 1];
    if (DecodeEEP(Sensor[index].eep, data, length, json, sizeof(json))) LE_INFO("%s", json);
    PushDataSensor(index, json, data[0] == 0x32);
}
