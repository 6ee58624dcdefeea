// Plain files on file descriptors.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/file.h"
#include "platform/posix/posix_util.h"

namespace plat {

struct File {
  int fd = -1;
};

namespace {

using posix::fail;
using posix::fail_errno;

// Makes a finished rename survive a crash: the directory entry itself must
// reach the disk, not only the file's data.
void sync_parent_directory(const char* path) {
  std::string dir(path);
  const std::size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  static_cast<void>(fsync(fd));
  close(fd);
}

// Renames without ever replacing `to`, for file systems without hard links.
bool rename_no_replace(const char* from, const char* to) {
#ifdef SYS_renameat2
  constexpr unsigned kNoReplace = 1U << 0;  // RENAME_NOREPLACE
  if (syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, kNoReplace) == 0) return true;
  return fail_errno();
#else
  static_cast<void>(from);
  static_cast<void>(to);
  return fail(ENOTSUP);
#endif
}

}  // namespace

FileHandle file_open(const char* path, FileMode mode) {
  if (path == nullptr) {
    posix::set_error(EINVAL);
    return nullptr;
  }
  int flags = O_CLOEXEC;
  switch (mode) {
    case FileMode::CreateAlways: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    case FileMode::OpenRead: flags |= O_RDONLY; break;
    case FileMode::OpenReadWrite: flags |= O_RDWR; break;
  }
  const int fd = open(path, flags, 0666);
  if (fd < 0) {
    posix::set_error(errno);
    return nullptr;
  }
  return new File{fd};
}

bool file_read(FileHandle file, void* buffer, uint32_t length, uint32_t* done) {
  if (done != nullptr) *done = 0;
  if (file == nullptr || done == nullptr || (buffer == nullptr && length != 0)) return fail(EINVAL);
  auto* out = static_cast<unsigned char*>(buffer);
  uint32_t got = 0;
  // A short read means the end of the file, as ReadFile reports it.
  while (got < length) {
    const ssize_t n = read(file->fd, out + got, length - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *done = got;
      return fail_errno();
    }
    if (n == 0) break;
    got += static_cast<uint32_t>(n);
  }
  *done = got;
  return true;
}

bool file_write(FileHandle file, const void* buffer, uint32_t length, uint32_t* done) {
  if (done != nullptr) *done = 0;
  if (file == nullptr || done == nullptr || (buffer == nullptr && length != 0)) return fail(EINVAL);
  const auto* data = static_cast<const unsigned char*>(buffer);
  uint32_t sent = 0;
  while (sent < length) {
    const ssize_t n = write(file->fd, data + sent, length - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *done = sent;
      return n == 0 ? fail(EIO) : fail_errno();
    }
    sent += static_cast<uint32_t>(n);
  }
  *done = sent;
  return true;
}

bool file_seek(FileHandle file, int64_t offset, SeekFrom from, uint64_t* position) {
  if (file == nullptr) return fail(EINVAL);
  int whence = SEEK_SET;
  switch (from) {
    case SeekFrom::Begin: whence = SEEK_SET; break;
    case SeekFrom::Current: whence = SEEK_CUR; break;
    case SeekFrom::End: whence = SEEK_END; break;
  }
  const off_t at = lseek(file->fd, static_cast<off_t>(offset), whence);
  if (at < 0) return fail_errno();
  if (position != nullptr) *position = static_cast<uint64_t>(at);
  return true;
}

bool file_flush(FileHandle file) {
  if (file == nullptr) return fail(EINVAL);
  return fsync(file->fd) == 0 || fail_errno();
}

bool file_close(FileHandle file) {
  if (file == nullptr) return fail(EINVAL);
  const int result = close(file->fd);
  const int err = errno;
  delete file;
  return result == 0 || fail(err);
}

bool file_delete(const char* path) {
  if (path == nullptr) return fail(EINVAL);
  return unlink(path) == 0 || fail_errno();
}

bool file_replace(const char* from, const char* to) {
  if (from == nullptr || to == nullptr) return fail(EINVAL);
  if (rename(from, to) != 0) return fail_errno();
  sync_parent_directory(to);
  return true;
}

bool file_rename_new(const char* from, const char* to) {
  if (from == nullptr || to == nullptr) return fail(EINVAL);
  // A hard link is made only when the name is free, so an existing file is
  // never replaced; the old name then goes. File systems without hard links
  // (FAT on a memory stick) get a rename that refuses an existing name.
  if (link(from, to) == 0) {
    if (unlink(from) != 0) return fail_errno();
  } else if (errno == EPERM || errno == ENOTSUP || errno == EOPNOTSUPP) {
    if (!rename_no_replace(from, to)) return false;
  } else {
    return fail_errno();
  }
  sync_parent_directory(to);
  return true;
}

bool file_exists(const char* path) {
  struct stat info {};
  return path != nullptr && lstat(path, &info) == 0;
}

bool file_is_regular(const char* path) {
  if (path == nullptr) return fail(EINVAL);
  struct stat info {};
  if (lstat(path, &info) != 0) return fail_errno();
  if (S_ISREG(info.st_mode)) return true;
  return fail(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
}

bool file_modified_time(const char* path, int64_t* seconds) {
  if (path == nullptr || seconds == nullptr) return fail(EINVAL);
  struct stat info {};
  if (stat(path, &info) != 0) return fail_errno();
  *seconds = static_cast<int64_t>(info.st_mtim.tv_sec);
  return true;
}

}  // namespace plat
