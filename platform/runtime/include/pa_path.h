// Device and file paths: the component names the module's paths ("/dev/ttyHS0", "/mnt/userrw/...");
// the platform maps them to where they live on this machine.
#pragma once

#include "le_basics.h"

#include <cstdio>
#include <sys/types.h>

#define PA_PATH_MAX 512

// Maps every path at or under "from" (whole components only) to the same place under "to".
// The longest matching "from" wins. LE_OVERFLOW when a path is too long.
le_result_t pa_path_AddMapping(const char* from, const char* to);
void pa_path_ClearMappings(void);
// False when the mapped path does not fit.
bool pa_path_Map(const char* path, char* out, size_t outSize);

// Joins dir and name with one '/'; false when it does not fit.
bool pa_path_Join(const char* dir, const char* name, char* out, size_t outSize);

// Where a program keeps its sockets and state on this machine: $VELTRONA_RUNTIME_DIR if set,
// else "/tmp/veltrona-<uid>". False when it does not fit.
bool pa_path_DefaultRuntimeDir(char* out, size_t outSize);
// A runtime directory holds sockets and state, so it must be a directory that the running user
// owns and that neither group nor others can write. LE_OK, or LE_NOT_PERMITTED (LE_NOT_FOUND when
// it cannot be looked at) with a sentence naming the directory and what is wrong in reason.
// Its subdirectories services/, dev/ and userrw/, where they exist, must be such directories too
// (not links).
le_result_t pa_path_CheckRuntimeDir(const char* dir, char* reason, size_t reasonSize);
// Takes the runtime directory for this process (a lock on "veltrona.lock" in it, held until the
// process ends): LE_OK with the lock's descriptor, LE_DUPLICATE while another process holds it,
// LE_FAULT when the lock file cannot be opened.
le_result_t pa_path_LockRuntimeDir(const char* dir, int* fdPtr);

// File access through the mapping.
int pa_fs_Open(const char* path, int flags, mode_t mode);
// fopen modes r, w, a (with +); a file it creates is private to the user (0600).
FILE* pa_fs_Fopen(const char* path, const char* mode);
int pa_fs_Rename(const char* from, const char* to);
int pa_fs_Unlink(const char* path);
// Replaces the file's content so that a crash leaves the old or the new file, never a torn one:
// temporary file beside it, written, flushed to disk, renamed over. LE_FAULT (logged) on failure.
le_result_t pa_fs_WriteFileAtomic(const char* path, const void* data, size_t size);
// Creates the directory and its parents (mode 0700). LE_FAULT on failure.
le_result_t pa_fs_MakeDirs(const char* path);
