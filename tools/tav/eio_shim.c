/* SPDX-License-Identifier: MIT */
/* Preloaded into tav by the tests: every write to the file named by
 * TAV_EIO_FILE fails with EIO once TAV_EIO_AFTER bytes have been written to
 * it, as a failing disk would; every read of the file named by
 * TAV_EIO_READ_FILE fails with EIO; with TAV_FLIP_UNNAMED set, every write to
 * a file that has no name yet lands with its first byte inverted, as a disk
 * that corrupts quietly would. Other files are untouched. */
/* The fortified headers define read and pread inline; this file replaces them. */
#undef _FORTIFY_SOURCE
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

static long long written;

static int SameFile(int fd, const char *name) {
  struct stat fd_stat, name_stat;
  return name != NULL && fstat(fd, &fd_stat) == 0 && stat(name, &name_stat) == 0 &&
         fd_stat.st_dev == name_stat.st_dev && fd_stat.st_ino == name_stat.st_ino;
}

static int Unnamed(int fd) {
  struct stat st;
  return getenv("TAV_FLIP_UNNAMED") != NULL && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 0;
}

/* 1 when this write should fail; counts the bytes it lets through. */
static int Fails(int fd, size_t length) {
  const char *after = getenv("TAV_EIO_AFTER");
  if (!SameFile(fd, getenv("TAV_EIO_FILE"))) return 0;
  if (written + (long long)length > (after != NULL ? atoll(after) : 0)) return 1;
  written += (long long)length;
  return 0;
}

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

/* Writes the first byte inverted, then the rest as it is. */
static ssize_t Flipped(int fd, const void *buffer, size_t length, off_t offset, int positioned) {
  unsigned char first = (unsigned char)~*(const unsigned char *)buffer;
  ssize_t put = positioned ? NEXT(pwrite)(fd, &first, 1, offset) : NEXT(write)(fd, &first, 1);
  if (put != 1 || length == 1) return put;
  put = positioned ? NEXT(pwrite)(fd, (const char *)buffer + 1, length - 1, offset + 1)
                   : NEXT(write)(fd, (const char *)buffer + 1, length - 1);
  return put < 0 ? 1 : put + 1;
}

__attribute__((visibility("default"))) ssize_t write(int fd, const void *buffer, size_t length) {
  if (Fails(fd, length)) return errno = EIO, -1;
  if (length > 0 && Unnamed(fd)) return Flipped(fd, buffer, length, 0, 0);
  return NEXT(write)(fd, buffer, length);
}

__attribute__((visibility("default"))) ssize_t pwrite(int fd, const void *buffer, size_t length, off_t offset) {
  if (Fails(fd, length)) return errno = EIO, -1;
  if (length > 0 && Unnamed(fd)) return Flipped(fd, buffer, length, offset, 1);
  return NEXT(pwrite)(fd, buffer, length, offset);
}

__attribute__((visibility("default"))) ssize_t read(int fd, void *buffer, size_t length) {
  if (SameFile(fd, getenv("TAV_EIO_READ_FILE"))) return errno = EIO, -1;
  return NEXT(read)(fd, buffer, length);
}

__attribute__((visibility("default"))) ssize_t pread(int fd, void *buffer, size_t length, off_t offset) {
  if (SameFile(fd, getenv("TAV_EIO_READ_FILE"))) return errno = EIO, -1;
  return NEXT(pread)(fd, buffer, length, offset);
}

__attribute__((visibility("default"))) ssize_t pread64(int fd, void *buffer, size_t length, off_t offset) {
  if (SameFile(fd, getenv("TAV_EIO_READ_FILE"))) return errno = EIO, -1;
  return NEXT(pread64)(fd, buffer, length, offset);
}

__attribute__((visibility("default"))) ssize_t pwrite64(int fd, const void *buffer, size_t length, off_t offset) {
  if (Fails(fd, length)) return errno = EIO, -1;
  if (length > 0 && Unnamed(fd)) return Flipped(fd, buffer, length, offset, 1);
  return NEXT(pwrite64)(fd, buffer, length, offset);
}

__attribute__((visibility("default"))) ssize_t writev(int fd, const struct iovec *iov, int count) {
  size_t length = 0;
  for (int i = 0; i < count; ++i) length += iov[i].iov_len;
  if (Fails(fd, length)) return errno = EIO, -1;
  return NEXT(writev)(fd, iov, count);
}

__attribute__((visibility("default"))) ssize_t pwritev(int fd, const struct iovec *iov, int count, off_t offset) {
  size_t length = 0;
  for (int i = 0; i < count; ++i) length += iov[i].iov_len;
  if (Fails(fd, length)) return errno = EIO, -1;
  return NEXT(pwritev)(fd, iov, count, offset);
}
