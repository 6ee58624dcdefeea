// Plain files: the settings backup and the registry store.
#pragma once

#include <cstdint>

namespace plat {

struct File;
using FileHandle = File*;  // nullptr: none

enum class FileMode {
  CreateAlways,   // read and write; created, or emptied when it exists
  OpenRead,       // existing file, read only
  OpenReadWrite,  // existing file, read and write
};

enum class SeekFrom { Begin, Current, End };

FileHandle file_open(const char* path, FileMode mode);
bool file_read(FileHandle file, void* buffer, uint32_t length, uint32_t* done);
bool file_write(FileHandle file, const void* buffer, uint32_t length, uint32_t* done);
bool file_seek(FileHandle file, int64_t offset, SeekFrom from, uint64_t* position);
// Forces written data to the disk.
bool file_flush(FileHandle file);
bool file_close(FileHandle file);
bool file_delete(const char* path);
// Replaces `to` by `from` in one step, as far as the file system allows.
bool file_replace(const char* from, const char* to);
// Gives `from` the name `to` in one step, and only when no file is called `to`
// yet: an existing file keeps its content and the call fails. The new name
// reaches the disk before it returns.
bool file_rename_new(const char* from, const char* to);
// Whether anything exists under `path`.
bool file_exists(const char* path);
// Whether `path` names a regular file (not a directory, device, or anything
// else). Follows no link on POSIX (lstat).
bool file_is_regular(const char* path);
// Last change of the file's content, seconds since 1970-01-01 UTC.
bool file_modified_time(const char* path, int64_t* seconds);

// The calls above as the engines reach them: the program's go to the disk, a
// test's to a world of its own.
class Files {
 public:
  virtual ~Files() = default;
  virtual FileHandle Open(const char* path, FileMode mode) = 0;
  virtual bool Read(FileHandle file, void* buffer, uint32_t length, uint32_t* done) = 0;
  virtual bool Write(FileHandle file, const void* buffer, uint32_t length, uint32_t* done) = 0;
  virtual bool Seek(FileHandle file, int64_t offset, SeekFrom from, uint64_t* position) = 0;
  virtual bool Flush(FileHandle file) = 0;
  virtual bool Close(FileHandle file) = 0;
  virtual bool Delete(const char* path) = 0;
  virtual bool Replace(const char* from, const char* to) = 0;
  virtual bool RenameNew(const char* from, const char* to) = 0;
  virtual bool Exists(const char* path) = 0;
  virtual bool IsRegular(const char* path) = 0;
  virtual bool ModifiedTime(const char* path, int64_t* seconds) = 0;
};

Files& system_files();

}  // namespace plat
