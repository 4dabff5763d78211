// What both builders do before anything else.
#pragma once

#include <cstddef>
#include <string>

#include "builder/cmdline.h"

// Locates the stub image in the program's own resources, seeds the generator of payload
// identifiers and sets the process-wide mode flags from the command line. False, with
// nothing set, when the stub image is missing: the program is damaged.
bool StartBuilder(const CommandLine& cmd);

// A byte count with thousands grouped by commas ("22,528"), as usage texts quote stub sizes.
std::string GroupedBytes(size_t count);
