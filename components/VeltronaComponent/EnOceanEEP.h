// EnOcean Equipment Profile decoding of radio telegrams into JSON.
#pragma once

#include "legato.h"

// Longest JSON text a telegram gives (the buffer holds one more byte for the terminator).
#define EEP_JSON_MAX 99

// Decodes telegram data[0..length-1] by the record's EEP and pushes the result for the sensor.
void SendOctave(int index, const uint8_t* data, size_t length);
// The decoding alone: fills json (cut to jsonSize - 1 and at most EEP_JSON_MAX characters) for the
// EEP text; true when no profile gave a value and the raw hex fallback was used.
bool DecodeEEP(const char* eep, const uint8_t* data, size_t length, char* json, size_t jsonSize);
