// The peer's credentials as the kernel recorded them when it connected (SO_PEERCRED).
//
// Thread safety: see peer_identity.h.
#include <errno.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/machine_root.h"
#include "platform/peer_identity.h"

namespace platform {

bool ServedByTrustedAccount(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer)
    return false;
  if (peer.uid == geteuid() || peer.uid == 0) return true;
  struct stat root;
  return stat(MachineRoot().c_str(), &root) == 0 && peer.uid == root.st_uid;
}

std::string AccountName(unsigned uid) {
  passwd entry;
  passwd* found = nullptr;
  std::vector<char> buffer(1024);
  int error;
  while ((error = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (1u << 20))
    buffer.resize(buffer.size() * 2);
  if (error != 0 || found == nullptr) return "uid " + std::to_string(uid);
  return entry.pw_name;
}

}  // namespace platform
