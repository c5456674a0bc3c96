// Standard streams on Windows. A handle is not a small number that a later
// open could take, so a closed standard handle needs no stand-in: writes to
// it fail and the line is lost, as on POSIX with /dev/null.
#include "driver/standard_streams.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

bool PrepareStandardStreams() {
  // The error mode is inherited by the processes we launch.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX |
               SEM_NOOPENFILEERRORBOX);
  // A standard output that is not open has no mode to set, and nothing is
  // ever written through it.
  const int out = _fileno(stdout);
  if (out >= 0) (void)_setmode(out, _O_BINARY);
  return true;
}
