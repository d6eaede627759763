// EEP decoding of radio telegrams: every profile's worked values and the raw fallback.
#include "EnOceanEEP.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(EepTest, EveryProfileDecodesItsWorkedValuesAndFallsBackToRaw)
{
    struct Row
    {
        const char* eep;
        std::vector<uint8_t> data;   // RORG and user data; sender 01 02 03 04 and status 00 follow
        const char* json;
    };
    const Row rows[] = {
        {"F60203", {0xF6, 0x00}, "{\"Button0\":0,\"Button1\":0,\"Button2\":0,\"Button3\":0}"},
        {"F60203", {0xF6, 0x10}, "{\"Button0\":1,\"Button1\":0,\"Button2\":0,\"Button3\":0}"},
        {"F60203", {0xF6, 0x30}, "{\"Button0\":0,\"Button1\":1,\"Button2\":0,\"Button3\":0}"},
        {"F60203", {0xF6, 0x50}, "{\"Button0\":0,\"Button1\":0,\"Button2\":1,\"Button3\":0}"},
        {"F60203", {0xF6, 0x70}, "{\"Button0\":0,\"Button1\":0,\"Button2\":0,\"Button3\":1}"},
        {"F60203", {0xF6, 0x37}, "{\"RawData\": \"370102030400\"}"},   // no button: raw
        {"D50001", {0xD5, 0x09}, "{\"Magnet_present\":1}"},
        {"D50001", {0xD5, 0x08}, "{\"Magnet_present\":0}"},
        {"A50701", {0xA5, 0xFA, 0x00, 0xC8, 0x09}, "{\"Volts\":5.00,\"Occupancy\":200}"},
        {"A50701", {0xA5, 0xFA, 0x00, 0x07, 0x08}, "{\"Volts\":-1.00,\"Occupancy\":7}"},
        {"A50403", {0xA5, 0xFF, 0x03, 0xFF, 0x08}, "{\"Humidity\":100.00,\"Temperature\":60.00}"},
        {"A50403", {0xA5, 0x00, 0x00, 0x00, 0x08}, "{\"Humidity\":0.00,\"Temperature\":-20.00}"},
        {"A50401", {0xA5, 0x00, 0x7D, 0x7D, 0x0A}, "{\"Humidity\":50.00,\"Temperature\":20.00}"},
        {"A50401", {0xA5, 0x00, 0x7D, 0x7D, 0x08}, "{\"Humidity\":50.00}"},
        {"a50401", {0xA5, 0x00, 0x7D, 0x7D, 0x08}, "{\"Humidity\":50.00}"},   // the name's case does not count
        {"A50904", {0xA5, 0x64, 0x2A, 0x64, 0x06}, "{\"CO2\":420.00,\"Humidity\":50.00,\"Temperature\":20.00}"},
        {"A50904", {0xA5, 0x64, 0x2A, 0x64, 0x04}, "{\"CO2\":420.00,\"Humidity\":50.00}"},
        {"A50904", {0xA5, 0x64, 0x2A, 0x64, 0x02}, "{\"CO2\":420.00,\"Temperature\":20.00}"},
        {"A50904", {0xA5, 0x64, 0x2A, 0x64, 0x00}, "{\"CO2\":420.00}"},
        {"D23200", {0xD2, 0x40, 0x10, 0x00}, "{\"Current\":25.60}"},
        {"D23200", {0xD2, 0x00, 0x10, 0x00}, "{\"Current\":256.00}"},
        {"D23200", {0xD2, 0x80, 0x10, 0x00}, "{\"RawData\": \"8010000102030400\"}"},
        // Channels 0x123, 0x456, 0x789.
        {"D23201", {0xD2, 0x00, 0x12, 0x34, 0x56}, "{\"Current1\":291.00, \"Current2\":1110.00}"},
        {"D23202", {0xD2, 0x40, 0x12, 0x34, 0x56, 0x78, 0x90},
         "{\"Current1\":29.10, \"Current2\":111.00, \"Current3\":192.90}"},
        {"D20A01", {0xD2, 0x00, 0xFE, 0x28, 0x50},
         "{\"Battery\":\"OK\", \"Temperature1\":-1000.00, \"Temperature2\":0.00, \"Temperature3\":20.00}"},
        {"D20A01", {0xD2, 0x80, 0x29, 0xFF, 0x00},
         "{\"Battery\":\"Low\", \"Temperature1\":0.50, \"Temperature2\":-1000.00, \"Temperature3\":-20.00}"},
        {"", {0xA5, 0x08, 0x28, 0x46, 0x80}, "{\"RawData\": \"082846800102030400\"}"},
        {"ZZ9999", {0xA5, 0x08, 0x28, 0x46, 0x80}, "{\"RawData\": \"082846800102030400\"}"},
    };
    for (const Row& r : rows)
    {
        std::vector<uint8_t> data = r.data;
        data.insert(data.end(), {0x01, 0x02, 0x03, 0x04, 0x00});
        char json[EEP_JSON_MAX + 1];
        bool raw = DecodeEEP(r.eep, data.data(), data.size(), json, sizeof(json));
        EXPECT_STREQ(json, r.json) << r.eep;
        EXPECT_EQ(raw, std::string(r.json).find("RawData") != std::string::npos) << r.eep << " " << r.json;
    }
}

TEST(EepTest, RawFallbackIsBoundAndNeverReadsPastTheTelegram)
{
    // 43 data bytes: 42 after the RORG fill the 99 characters exactly; longer telegrams are cut at
    // a whole byte and stay valid JSON.
    char json[EEP_JSON_MAX + 1];
    std::vector<uint8_t> data(43, 0xAB);
    ASSERT_TRUE(DecodeEEP("", data.data(), data.size(), json, sizeof(json)));
    EXPECT_EQ(std::string(json).size(), 99u);
    data.resize(200, 0xCD);
    ASSERT_TRUE(DecodeEEP("", data.data(), data.size(), json, sizeof(json)));
    std::string hex;
    for (int i = 0; i < 42; i++) hex += "AB";
    EXPECT_EQ(std::string(json), "{\"RawData\": \"" + hex + "\"}");

    // Too short for the profile's bytes: raw instead of reading past the telegram.
    const uint8_t shortTelegram[] = {0xA5, 0x01};
    EXPECT_TRUE(DecodeEEP("A50401", shortTelegram, sizeof(shortTelegram), json, sizeof(json)));
    EXPECT_STREQ(json, "{\"RawData\": \"01\"}");
}
