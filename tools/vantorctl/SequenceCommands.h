#pragma once

#include "Arguments.h"

class Session;

// play FILE: reads and checks the file before any port is opened (a refused
// file exits with kExitUsage and its line), then plays it, or with --dry-run
// prints what each frame would send.
int PlaySequence(const GlobalOptions& options, const Request& request);

// pose: the board's positions of the chosen channels as a frame.
int ReadPose(Session& session, const GlobalOptions& options, const Request& request);
