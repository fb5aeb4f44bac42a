#pragma once
// The fallback of the race of attempts: a name answered with ::1, which never answers (a
// listener whose backlog is full), then 127.0.0.1, which does. The time from Connect to
// OnSessionConnected, in milliseconds, over Rounds connections (the look-up is the scripted
// answer, so it takes no time).
#include "run_timing.h"

TSpread MeasureHappyEyeballs(int Rounds);
