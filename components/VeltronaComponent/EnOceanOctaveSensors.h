// Per-sensor Data Hub resources: sensors/<id>/...
#pragma once

#include "legato.h"

void CreateSensor(const char* id, const char* eep);
// Pushes decoded data to sensors/<id>/data, and the secure state when it changed.
void PushDataSensor(int index, const char* json, bool secure);
// One step of the two-step delete: the first request arms, a second within 4999 ms deletes.
void DeleteSensorResources(const char* id);
// Deletes the sensor's six resources; with notify set the transceiver is told to forget it.
void DeleteResourceEO(const char* id, uint8_t notify);
void DeleteEvents(int index);

void HandleSensorEEPPush(double timestamp, const char* value, void* contextPtr);
void HandleSensorEnablePush(double timestamp, bool value, void* contextPtr);
void HandleSensorDeletePush(double timestamp, void* contextPtr);
