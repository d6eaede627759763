// Administrative side of the embedded Data Hub: the cloud's stand-in.
// Lists resources, reads values, pushes to outputs and watches pushes. Values the admin pushed
// to outputs are kept in a settings file and given again when the output is created after a restart.
#pragma once

#include "io.h"

#include <string>

#define DHUB_TEXT_MAX (IO_MAX_STRING_VALUE_LEN * 2 + 128)
// Deliveries to one push handler that may wait on its loop; past that a push replaces the newest
// waiting one (its handler still hears the latest value).
#define DHUB_MAX_WAITING_DELIVERIES 16

typedef enum { DHUB_KIND_PLACEHOLDER = 0, DHUB_KIND_INPUT, DHUB_KIND_OUTPUT } dhub_Kind_t;

typedef struct
{
    char path[IO_MAX_RESOURCE_PATH_LEN + 1];
    dhub_Kind_t kind;
    io_DataType_t dataType;
    char units[IO_MAX_UNITS_NAME_LEN + 1];
    bool optional;
    bool hasValue;        // pushed, or a default
    bool isDefault;       // the value is the default (nothing pushed yet)
    double timestamp;
    size_t handlerCount;
}
dhub_ResourceInfo_t;

// Settings file for admin-pushed output values; loaded at once (missing file: nothing kept).
// NULL turns persistence off. LE_FAULT when the file exists but cannot be read.
le_result_t dhub_SetSettingsFile(const char* path);

// Forgets every resource, handler and kept setting (for embedding programs and tests).
void dhub_Reset(void);

// Calls func for each resource in path order; value is the current value as text ("" if none).
void dhub_ForEach(void (*func)(const dhub_ResourceInfo_t* info, const char* value, void* ctx), void* ctx);
// LE_NOT_FOUND for no resource; LE_UNAVAILABLE for no value.
le_result_t dhub_GetInfo(const char* path, dhub_ResourceInfo_t* info, char* value, size_t valueSize);

// Pushes the text, parsed by the output's type ("true"/"false"/"1"/"0", number, text; ignored for
// a trigger). LE_NOT_FOUND, LE_NOT_PERMITTED (not an output), LE_FORMAT_ERROR (text does not
// parse), LE_OVERFLOW (too long). The value is kept in the settings file (triggers are not);
// LE_IO_ERROR when it was applied but the file could not be written, so that a restart loses it.
le_result_t dhub_AdminPush(const char* path, const char* text);
// dhub_AdminPush in two steps, for a caller that takes several pushes at once: the push applied
// (never LE_IO_ERROR), with the change to be kept in *keepVersion (0: nothing to keep); then
// dhub_Keep, once for the newest of them, true when the settings file holds that change. The file
// is written outside the hub's lock, and changes made while a write is under way share the next.
le_result_t dhub_AdminApply(const char* path, const char* text, uint64_t* keepVersion);
bool dhub_Keep(uint64_t keepVersion);
// Settings file writes so far (for diagnostics and tests).
unsigned dhub_SettingsWrites(void);

// An admin push as the admin socket and the cloud link take it, checked first against the
// resource: value NULL pushes nothing (a trigger, or an empty text). Returns what dhub_AdminPush
// returns, or LE_BAD_PARAMETER when the value does not suit the resource; *reason then says, in
// words that name the resource, what went wrong (for LE_IO_ERROR: that it was applied, not kept).
// With keepVersion, the push is only applied and the change to keep is left in it (see
// dhub_AdminApply): the caller keeps a batch with one dhub_Keep.
le_result_t dhub_CheckedPush(const char* path, const char* value, std::string* reason,
                             uint64_t* keepVersion = nullptr);
// What a push that was applied but not kept says.
extern const char* const dhub_NotKeptReason;

// Watch: called, on the thread that pushed and under the hub's lock (it must not block), for each
// push (component or admin) under the prefix.
typedef void (*dhub_WatchFunc_t)(const char* path, io_DataType_t type, double timestamp, const char* value,
                                 void* ctx);
void* dhub_AddWatch(const char* pathPrefix, dhub_WatchFunc_t func, void* ctx);

// Every change of the resources under the prefix, for a mirror of the hub (the cloud link): pushes
// (component or admin, and a kept setting given back to an output as it is created), defaults
// and deletions. Called like a watch: on the changing thread, under the hub's lock.
typedef enum { DHUB_CHANGE_PUSH, DHUB_CHANGE_DEFAULT, DHUB_CHANGE_DELETE } dhub_ChangeKind_t;
typedef struct
{
    dhub_ChangeKind_t change;
    const char* path;
    dhub_Kind_t kind;
    io_DataType_t dataType;
    double timestamp;    // DHUB_CHANGE_DELETE: 0
    const char* value;   // as dhub_GetInfo gives it; "" for a trigger or a deletion
}
dhub_Change_t;
typedef void (*dhub_ChangeFunc_t)(const dhub_Change_t* change, void* ctx);
void* dhub_AddChangeWatch(const char* pathPrefix, dhub_ChangeFunc_t func, void* ctx);

// Removes a watch of either kind; once it returns the watch is never called again.
void dhub_RemoveWatch(void* watchRef);

// Answers one request line of the admin protocol (LIST, GET, PUSH; see the admin socket) with the
// lines the socket would send; false for a request that is not one of these (WATCH belongs to a
// connection).
bool dhub_AnswerRequest(const char* line, std::string* answer);

// Admin socket (private permissions), served by its own thread. LE_FAULT if it cannot listen,
// LE_DUPLICATE if another running program serves that socket.
le_result_t dhub_StartAdminServer(const char* socketPath);
void dhub_StopAdminServer(void);

// Value formatting shared by the admin server and tools.
void dhub_FormatNumber(double value, char* buf, size_t bufSize);
// Escapes tab, newline, carriage return and backslash so a value stays on one line.
bool dhub_Escape(const char* in, char* out, size_t outSize);
bool dhub_Unescape(const char* in, char* out, size_t outSize);
const char* dhub_TypeName(io_DataType_t type);
// The type a name given by dhub_TypeName stands for; false for no such name.
bool dhub_TypeFromName(const char* name, io_DataType_t* type);
// The text as a JSON string: quotes and backslashes escaped, control characters as \u00XX.
std::string dhub_JsonString(const std::string& raw);
// Whether the text is one JSON value (nested at most 64 deep), with nothing after it but space.
bool dhub_IsJson(const char* text);
