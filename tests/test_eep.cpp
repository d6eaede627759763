// EEP decoding of radio telegrams: every profile's worked values and the raw fallback.
#include "EnOceanEEP.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
// Decodes a telegram given as RORG + user data (sender ID 01 02 03 04 and status 00 appended).
std::string Decode(const char* eep, std::vector<uint8_t> data, bool* raw = nullptr)
{
    for (uint8_t b : {0x01, 0x02, 0x03, 0x04, 0x00}) data.push_back(b);
    char json[EEP_JSON_MAX + 1];
    bool wasRaw = DecodeEEP(eep, data.data(), data.size(), json, sizeof(json));
    if (raw) *raw = wasRaw;
    return json;
}
}

TEST(EepTest, RockerSwitchButtonsAndUnknownValues)
{
    EXPECT_EQ(Decode("F60203", {0xF6, 0x00}), "{\"Button0\":0,\"Button1\":0,\"Button2\":0,\"Button3\":0}");
    EXPECT_EQ(Decode("F60203", {0xF6, 0x10}), "{\"Button0\":1,\"Button1\":0,\"Button2\":0,\"Button3\":0}");
    EXPECT_EQ(Decode("F60203", {0xF6, 0x30}), "{\"Button0\":0,\"Button1\":1,\"Button2\":0,\"Button3\":0}");
    EXPECT_EQ(Decode("F60203", {0xF6, 0x50}), "{\"Button0\":0,\"Button1\":0,\"Button2\":1,\"Button3\":0}");
    EXPECT_EQ(Decode("F60203", {0xF6, 0x70}), "{\"Button0\":0,\"Button1\":0,\"Button2\":0,\"Button3\":1}");
    bool raw = false;
    EXPECT_EQ(Decode("F60203", {0xF6, 0x37}, &raw), "{\"RawData\": \"370102030400\"}");
    EXPECT_TRUE(raw);
}

TEST(EepTest, ContactOccupancyHumidityAndCo2)
{
    EXPECT_EQ(Decode("D50001", {0xD5, 0x09}), "{\"Magnet_present\":1}");
    EXPECT_EQ(Decode("D50001", {0xD5, 0x08}), "{\"Magnet_present\":0}");
    EXPECT_EQ(Decode("A50701", {0xA5, 0xFA, 0x00, 0xC8, 0x09}), "{\"Volts\":5.00,\"Occupancy\":200}");
    EXPECT_EQ(Decode("A50701", {0xA5, 0xFA, 0x00, 0x07, 0x08}), "{\"Volts\":-1.00,\"Occupancy\":7}");
    EXPECT_EQ(Decode("A50403", {0xA5, 0xFF, 0x03, 0xFF, 0x08}), "{\"Humidity\":100.00,\"Temperature\":60.00}");
    EXPECT_EQ(Decode("A50403", {0xA5, 0x00, 0x00, 0x00, 0x08}), "{\"Humidity\":0.00,\"Temperature\":-20.00}");
    EXPECT_EQ(Decode("A50401", {0xA5, 0x00, 0x7D, 0x7D, 0x0A}), "{\"Humidity\":50.00,\"Temperature\":20.00}");
    EXPECT_EQ(Decode("A50401", {0xA5, 0x00, 0x7D, 0x7D, 0x08}), "{\"Humidity\":50.00}");
    EXPECT_EQ(Decode("A50904", {0xA5, 0x64, 0x2A, 0x64, 0x06}),
              "{\"CO2\":420.00,\"Humidity\":50.00,\"Temperature\":20.00}");
    EXPECT_EQ(Decode("A50904", {0xA5, 0x64, 0x2A, 0x64, 0x04}), "{\"CO2\":420.00,\"Humidity\":50.00}");
    EXPECT_EQ(Decode("A50904", {0xA5, 0x64, 0x2A, 0x64, 0x02}), "{\"CO2\":420.00,\"Temperature\":20.00}");
    EXPECT_EQ(Decode("A50904", {0xA5, 0x64, 0x2A, 0x64, 0x00}), "{\"CO2\":420.00}");
    // The profile name is compared without regard to case.
    EXPECT_EQ(Decode("a50401", {0xA5, 0x00, 0x7D, 0x7D, 0x08}), "{\"Humidity\":50.00}");
}

TEST(EepTest, CurrentClampsAndTemperatures)
{
    EXPECT_EQ(Decode("D23200", {0xD2, 0x40, 0x10, 0x00}), "{\"Current\":25.60}");
    EXPECT_EQ(Decode("D23200", {0xD2, 0x00, 0x10, 0x00}), "{\"Current\":256.00}");
    bool raw = false;
    EXPECT_EQ(Decode("D23200", {0xD2, 0x80, 0x10, 0x00}, &raw), "{\"RawData\": \"8010000102030400\"}");
    EXPECT_TRUE(raw);
    // Channels: 0x123, 0x456, 0x789.
    EXPECT_EQ(Decode("D23201", {0xD2, 0x00, 0x12, 0x34, 0x56}), "{\"Current1\":291.00, \"Current2\":1110.00}");
    EXPECT_EQ(Decode("D23202", {0xD2, 0x40, 0x12, 0x34, 0x56, 0x78, 0x90}),
              "{\"Current1\":29.10, \"Current2\":111.00, \"Current3\":192.90}");
    EXPECT_EQ(Decode("D20A01", {0xD2, 0x00, 0xFE, 0x28, 0x50}),
              "{\"Battery\":\"OK\", \"Temperature1\":-1000.00, \"Temperature2\":0.00, \"Temperature3\":20.00}");
    EXPECT_EQ(Decode("D20A01", {0xD2, 0x80, 0x29, 0xFF, 0x00}),
              "{\"Battery\":\"Low\", \"Temperature1\":0.50, \"Temperature2\":-1000.00, \"Temperature3\":-20.00}");
}

TEST(EepTest, RawFallbackAndItsBound)
{
    // The worked example: A5 08 28 46 80 01 83 0D 1E 00.
    const uint8_t example[] = {0xA5, 0x08, 0x28, 0x46, 0x80, 0x01, 0x83, 0x0D, 0x1E, 0x00};
    char json[EEP_JSON_MAX + 1];
    EXPECT_TRUE(DecodeEEP("", example, sizeof(example), json, sizeof(json)));
    EXPECT_STREQ(json, "{\"RawData\": \"0828468001830D1E00\"}");
    EXPECT_TRUE(DecodeEEP("ZZ9999", example, sizeof(example), json, sizeof(json)));
    EXPECT_STREQ(json, "{\"RawData\": \"0828468001830D1E00\"}");

    // 43 data bytes: 42 after the RORG fill the 99 characters exactly; longer telegrams are cut at
    // a whole byte and stay valid JSON.
    std::vector<uint8_t> data(43, 0xAB);
    ASSERT_TRUE(DecodeEEP("", data.data(), data.size(), json, sizeof(json)));
    EXPECT_EQ(std::string(json).size(), 99u);
    data.resize(200, 0xCD);
    ASSERT_TRUE(DecodeEEP("", data.data(), data.size(), json, sizeof(json)));
    std::string cut(json);
    EXPECT_EQ(cut.size(), 99u);
    EXPECT_EQ(cut.substr(cut.size() - 2), "\"}");
    std::string hex;
    for (int i = 0; i < 42; i++) hex += "AB";
    EXPECT_EQ(cut, "{\"RawData\": \"" + hex + "\"}");

    // Too short for the profile's bytes: raw instead of reading past the telegram.
    const uint8_t shortTelegram[] = {0xA5, 0x01};
    EXPECT_TRUE(DecodeEEP("A50401", shortTelegram, sizeof(shortTelegram), json, sizeof(json)));
    EXPECT_STREQ(json, "{\"RawData\": \"01\"}");
}
