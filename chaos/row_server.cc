// The lock server a row needs; chaos/row_server.h is the contract.
#include "chaos/row_server.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "components/module_loader.h"

namespace wendlemoor {

std::string RowServer(const std::string& path, bool is_command) {
  if (is_command) return DeclaredServer(path);
  std::shared_ptr<LockModule> module;
  std::string error;
  if (LoadLockModule(path.c_str(), &module, &error) != kOk) return "";
  return module->server();
}

bool StartRowServer(const std::string& kind, const std::string& row,
                    const std::string& folder,
                    std::unique_ptr<Server>* server) {
  if (kind.empty() || std::getenv(kServerVariable) != nullptr) return true;
  std::string error = "no such server kind";
  std::string where = folder + ".server";
  if (folder.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    where = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") +
            "/wendlemoor-server-XXXXXX";
    if (mkdtemp(where.data()) == nullptr) {
      error = where + ": " + std::strerror(errno);
      where.clear();
    }
  }
  if (IsServerKind(kind) && !where.empty()) {
    *server = Server::Start(kind, where, kServerStartMs, &error);
  }
  if (*server == nullptr) {
    // The fresh folder, when the server never took it.
    if (!where.empty() && folder.empty()) (void)rmdir(where.c_str());
    std::fprintf(stderr, "wendlemoor-chaos: server %s of %s: %s\n",
                 kind.c_str(), row.c_str(), error.c_str());
    return false;
  }
  if (setenv(kServerVariable, (*server)->address().c_str(), 1) != 0) {
    std::fprintf(stderr, "wendlemoor-chaos: setenv: %s\n",
                 std::strerror(errno));
    return false;
  }
  std::printf("server %s: %s, started in %llu ms\n", kind.c_str(),
              (*server)->address().c_str(),
              static_cast<unsigned long long>((*server)->start_ms()));
  return true;
}

}  // namespace wendlemoor
