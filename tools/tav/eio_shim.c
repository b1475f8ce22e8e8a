/* SPDX-License-Identifier: MIT */
/* Preloaded into tav by the tests: every write to the file named by
 * TAV_EIO_FILE fails with EIO once TAV_EIO_AFTER bytes have been written to
 * it, as a failing disk would. Other files are untouched. */
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

/* 1 when this write should fail; counts the bytes it lets through. */
static int Fails(int fd, size_t length) {
  const char *target = getenv("TAV_EIO_FILE");
  const char *after = getenv("TAV_EIO_AFTER");
  struct stat fd_stat, target_stat;
  if (target == NULL || fstat(fd, &fd_stat) != 0 || stat(target, &target_stat) != 0 ||
      fd_stat.st_dev != target_stat.st_dev || fd_stat.st_ino != target_stat.st_ino) {
    return 0;
  }
  if (written + (long long)length > (after != NULL ? atoll(after) : 0)) return 1;
  written += (long long)length;
  return 0;
}

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

__attribute__((visibility("default"))) ssize_t write(int fd, const void *buffer, size_t length) {
  if (Fails(fd, length)) return errno = EIO, -1;
  return NEXT(write)(fd, buffer, length);
}

__attribute__((visibility("default"))) ssize_t pwrite(int fd, const void *buffer, size_t length, off_t offset) {
  if (Fails(fd, length)) return errno = EIO, -1;
  return NEXT(pwrite)(fd, buffer, length, offset);
}

__attribute__((visibility("default"))) ssize_t pwrite64(int fd, const void *buffer, size_t length, off_t offset) {
  if (Fails(fd, length)) return errno = EIO, -1;
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
