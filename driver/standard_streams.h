// The process's standard streams and failure reporting, made ready first
// thing in main, before anything opens a file or starts a thread.
//
// Called once, from the main thread; keeps no state.
#ifndef WENDLEMOOR_DRIVER_STANDARD_STREAMS_H_
#define WENDLEMOOR_DRIVER_STANDARD_STREAMS_H_

// POSIX: opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so
// that no folder or lock file opened later gets one of those numbers and log
// lines can never land in it. Windows: turns off the system's error dialogs
// for this process and the children it launches (a fault or a missing file
// ends the process instead of waiting for a click), and puts standard output
// in binary mode, so that the usage text ends its lines in "\n" as on POSIX.
// Returns false when a standard stream could not be made ready; there is
// nowhere to report that.
bool PrepareStandardStreams();

#endif  // WENDLEMOOR_DRIVER_STANDARD_STREAMS_H_
