// The lock server a row needs: one place that knows it, for the run, the
// card and the fault classes that strike a server (they apply to rows that
// have one alone).
//
// A row needs a server (chaos/server.h) when its adapter file declares one
// with a line "# wendlemoor-server: KIND" (DeclaredServer) or when its
// module's table names one (components/module.h, ABI version 3 on). A run
// or a card starts it once for the row, before any worker or adapter, and
// gives its address in WENDLEMOOR_SERVER; a row run inside a card, or under
// a WENDLEMOOR_SERVER already set, uses that one.
//
// Thread safety: one thread at a time (StartRowServer forks; see
// Server::Start). Ownership: the caller owns the server it is given.
#ifndef WENDLEMOOR_CHAOS_ROW_SERVER_H_
#define WENDLEMOOR_CHAOS_ROW_SERVER_H_

#include <memory>
#include <string>

#include "chaos/server.h"

namespace wendlemoor {

// The kind of server that the row of `path` needs: `path` is an adapter's
// command line when `is_command`, else a module's file, which this loads
// (running its initialisers in this process) and unloads. Returns an empty
// string for a row without a server, and for a file that cannot be read or
// loaded (its run then refuses it with the cause).
std::string RowServer(const std::string& path, bool is_command);

// Starts a server of `kind` for the run of the row named `row` (for
// messages: `adapter "CMD"`, `module PATH`), in the folder FOLDER.server
// beside the run's lock folder `folder`, or in a fresh one under TMPDIR
// when `folder` is empty, and sets WENDLEMOOR_SERVER to its address; prints
// that address and how long the start took. Does nothing and returns true
// when `kind` is empty or WENDLEMOOR_SERVER is set already. Returns false
// with one line on standard error when the kind is unknown or the server
// does not start (postgres not installed, say). Blocks up to
// kServerStartMs.
bool StartRowServer(const std::string& kind, const std::string& row,
                    const std::string& folder, std::unique_ptr<Server>* server);

}  // namespace wendlemoor

#endif  // WENDLEMOOR_CHAOS_ROW_SERVER_H_
