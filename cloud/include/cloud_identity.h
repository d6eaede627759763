// A gateway's identity: a short name of its own, made once and kept in a file, that the cloud
// link's default client id and topic prefix carry. Two gateways never share one by chance, as
// they did when the host name was used (cloned images, default host names).
#pragma once

#include "le_basics.h"

#include <string>

// Whether the text can be an identity: 1 to 64 of a-z, 0-9 and '-', not starting with '-'.
bool cloud_ValidIdentity(const std::string& identity);

// The identity kept in the file; when the file is absent, a new one ("gw-" and 12 random hex
// digits) is made and written there (mode 0600). LE_FAULT with *reason when the file cannot be read
// or written, or holds no valid identity: it is never replaced silently, since the cloud knows the
// gateway by it.
le_result_t cloud_LoadIdentity(const char* file, std::string* identity, std::string* reason);
