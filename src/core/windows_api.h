// <windows.h> as every Windows part of the project includes it: without the
// min and max macros, which break std::min and std::numeric_limits::max, and
// without the rarely used parts of the API.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
