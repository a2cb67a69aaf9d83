// The one include through which the tool reaches Windows and the C library.
// On Windows it is the real API; on the host it is the simulated Windows, whose
// declarations carry the same names, types and return conventions.
#ifndef PLATFORM_WIN_H
#define PLATFORM_WIN_H

#ifdef _WIN32
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#else
#include "platform/sim_api.h"
#endif

#endif
