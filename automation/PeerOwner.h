// Who may connect to a local server of the program: only the user running it. Loopback keeps
// other machines out; this keeps other users of this machine out. Any TCP server (the automation
// port, an HTTP door) asks the same question at accept. Plain code.
#pragma once

#include <optional>

struct sockaddr;

/// The uid owning the TCP socket whose own address is `local` and whose peer is `remote` (IPv4 or
/// IPv6, the exact address pair), asked of the kernel's socket diagnostics for that one socket.
/// nullopt when the kernel does not know such a socket, or cannot be asked (not Linux).
std::optional<unsigned> TcpSocketOwner(const sockaddr* local, const sockaddr* remote);

/// True when the peer of a connection accepted at `ours` from `peer` is a socket of this
/// process's user. A peer whose owner cannot be found is not ours. Where the system cannot be
/// asked (not Linux) every peer counts as ours: loopback alone keeps other machines out there.
bool PeerIsOwnUser(const sockaddr* ours, const sockaddr* peer);

/// The same for the connected TCP socket `fd` (its own and its peer's address); false when the
/// addresses cannot be read.
bool ConnectionIsOwnUser(int fd);
