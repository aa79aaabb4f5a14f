// The port opener of the platform the program is built for: COM numbers through the port map on
// Linux, the system's own COM ports on Windows.
#pragma once

#ifdef _WIN32
#include "link/win32_serial.h"
#else
#include "link/posix_serial.h"
#endif

namespace qdqm {

#ifdef _WIN32
using PlatformPortOpener = Win32PortOpener;
#else
using PlatformPortOpener = PosixPortOpener;
#endif

}  // namespace qdqm
