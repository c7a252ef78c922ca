// The host's read-process-reply loop, kept apart from main so that tests and
// fuzzers drive the very code the program runs.
#pragma once

#include <cstdio>

namespace kelto {

// Serves requests read from `in`, one at a time, writing each reply on the
// reply channel, until a zero length or the end of input. Never throws.
void serveRequests(std::FILE* in);

}  // namespace kelto
