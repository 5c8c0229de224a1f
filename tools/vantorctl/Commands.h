#pragma once

#include "Arguments.h"

// Runs one checked request and returns the exit code; what it prints goes to
// standard output, what went wrong to standard error.
int RunRequest(const GlobalOptions& options, const Request& request);
