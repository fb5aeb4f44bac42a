#pragma once
// A Windows critical section may be entered again by the thread that owns it; so may this.
#include <mutex>

using TCriticalSection = std::recursive_mutex;
