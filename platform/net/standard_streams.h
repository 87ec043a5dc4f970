// Descriptors 0, 1 and 2 for a program that may be started with some of them closed.
#pragma once

#if !defined(_WIN32)
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace skyhelm::net {

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed (a service manager or a
// shell's `2>&-` may start a program so). Otherwise the first socket opened would become one of
// them, and a status text or debugger line meant for the console would go out of it: into the
// simulator's stream, or as a datagram that binds the UDP socket to a random port. Call it first
// in main, before anything opens a descriptor. False when a descriptor could not be filled (no
// /dev/null): the program should then end without writing anything. On Windows a socket is never
// a standard stream, so there is nothing to do.
inline bool EnsureStandardStreams() {
#if !defined(_WIN32)
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open takes the lowest free descriptor, which is this one: those below it are open by now.
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened == fd) continue;
    if (opened >= 0) close(opened);
    return false;
  }
#endif
  return true;
}

}  // namespace skyhelm::net
