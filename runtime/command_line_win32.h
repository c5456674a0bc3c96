// Windows command lines: a process gets one string, which its C library's
// start-up code splits into the argument vector, and a program named without
// a suffix is found with ".exe". Windows only.
//
// Pure; may be called from any thread.
#ifndef WENDLEMOOR_RUNTIME_COMMAND_LINE_WIN32_H_
#define WENDLEMOOR_RUNTIME_COMMAND_LINE_WIN32_H_

#include <string>

// Appends `argument` to `line` as the C library's start-up code reads it back:
// as it is when it is not empty and holds no white space or quote, otherwise
// in double quotes, with each quote escaped and the backslashes before a
// quote (and before the closing quote) doubled. Arguments are separated by
// one space, which the caller adds. Throws std::bad_alloc when memory runs out.
void AppendQuotedArgument(const char* argument, std::string* line);

// The file that CreateProcess takes `path` for in a command line: `path`
// itself, with ".exe" added when its last part has no '.'.
std::string ExecutableFileName(const char* path);

#endif  // WENDLEMOOR_RUNTIME_COMMAND_LINE_WIN32_H_
