// Makes sure descriptors 0, 1 and 2 are open before a program opens any
// file of its own. Started with one of them closed, the next file opened
// would take its number, and every message meant for that stream would land
// inside the file. A closed one is opened on /dev/null.
#ifndef DRIVER_STANDARD_DESCRIPTORS_H
#define DRIVER_STANDARD_DESCRIPTORS_H

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

// Returns false when a closed descriptor could not be opened (the program
// should then not go on).
inline bool openStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened < 0) return false;
    if (opened != fd) {
      // A lower descriptor was free as well; it is filled in its own turn.
      const bool moved = dup2(opened, fd) == fd;
      close(opened);
      if (!moved) return false;
    }
  }
  return true;
}

#endif  // DRIVER_STANDARD_DESCRIPTORS_H
