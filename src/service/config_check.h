#pragma once

#include "relay/hub.h"

#include <cstdio>

namespace korvel {

// korvel --check-config: reads the table and allow.txt the way the hub does,
// without opening a port, and prints every problem with its file and line,
// then a summary. Returns the exit status: 0 when nothing is amiss, 1 otherwise.
int CheckConfig(const Hub::Options& options, std::FILE* out = stdout);

} // namespace korvel
