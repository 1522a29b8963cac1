// inputFile.cpp - opening the driver's input files: only regular files are
// read, so that a directory, a FIFO without a writer or a device can neither
// block the run nor pass for an empty or endless input.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "doroRivo.h"

static const char *file_kind(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a file of another kind";
}

FILE *open_regular_file(const char *path, const char *mode, const char *label) {
  // O_NONBLOCK keeps the open of a FIFO without a writer from waiting; it
  // is cleared again before a regular file is read.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    const char *kind = file_kind(info.st_mode);  // zero mode when fstat failed
    close(fd);
    fprintf(stderr, "%s %s: is %s, not a regular file\n", label, path, kind);
    exit(1);
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE *file = fdopen(fd, mode);
  if (file == nullptr) close(fd);
  return file;
}
