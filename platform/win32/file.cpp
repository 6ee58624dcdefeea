// Plain files through the Windows file API.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/file.h"

struct plat::File {
  HANDLE handle;
};

namespace plat {
namespace {

bool invalid(FileHandle file) {
  if (file == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return true;
  }
  return false;
}

}  // namespace

FileHandle file_open(const char* path, FileMode mode) {
  DWORD rights = GENERIC_READ | GENERIC_WRITE;
  DWORD disposition = OPEN_EXISTING;
  switch (mode) {
    case FileMode::CreateAlways:
      disposition = CREATE_ALWAYS;
      break;
    case FileMode::OpenRead:
      rights = GENERIC_READ;
      break;
    case FileMode::OpenReadWrite:
      break;
  }
  // Sharing everything keeps the POSIX behaviour: another handle may read the
  // file, and it may be deleted or replaced while open.
  HANDLE handle = CreateFileA(path, rights, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  return new File{handle};
}

bool file_read(FileHandle file, void* buffer, uint32_t length, uint32_t* done) {
  *done = 0;
  if (invalid(file)) {
    return false;
  }
  DWORD moved = 0;
  const bool ok = ReadFile(file->handle, buffer, length, &moved, nullptr) != FALSE;
  *done = moved;
  return ok;
}

bool file_write(FileHandle file, const void* buffer, uint32_t length, uint32_t* done) {
  *done = 0;
  if (invalid(file)) {
    return false;
  }
  DWORD moved = 0;
  const bool ok = WriteFile(file->handle, buffer, length, &moved, nullptr) != FALSE;
  *done = moved;
  return ok;
}

bool file_seek(FileHandle file, int64_t offset, SeekFrom from, uint64_t* position) {
  if (invalid(file)) {
    return false;
  }
  DWORD method = FILE_BEGIN;
  switch (from) {
    case SeekFrom::Begin:
      method = FILE_BEGIN;
      break;
    case SeekFrom::Current:
      method = FILE_CURRENT;
      break;
    case SeekFrom::End:
      method = FILE_END;
      break;
  }
  LARGE_INTEGER distance{};
  distance.QuadPart = offset;
  LARGE_INTEGER reached{};
  if (!SetFilePointerEx(file->handle, distance, &reached, method)) {
    return false;
  }
  if (position != nullptr) {
    *position = static_cast<uint64_t>(reached.QuadPart);
  }
  return true;
}

bool file_flush(FileHandle file) {
  if (invalid(file)) {
    return false;
  }
  return FlushFileBuffers(file->handle) != FALSE;
}

bool file_close(FileHandle file) {
  if (invalid(file)) {
    return false;
  }
  const bool closed = CloseHandle(file->handle) != FALSE;
  delete file;
  return closed;
}

bool file_delete(const char* path) { return DeleteFileA(path) != FALSE; }

bool file_replace(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != FALSE;
}

bool file_rename_new(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool file_exists(const char* path) {
  return path != nullptr && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool file_is_regular(const char* path) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
    return false;
  }
  if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    SetLastError((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? ERROR_ACCESS_DENIED
                                                                         : ERROR_INVALID_FUNCTION);
    return false;
  }
  return true;
}

bool file_modified_time(const char* path, int64_t* seconds) {
  if (path == nullptr || seconds == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
    return false;
  }
  // FILETIME counts 100 ns steps from 1601-01-01 UTC.
  constexpr int64_t kStepsPerSecond = 10000000;
  constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
  const auto steps = static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                          data.ftLastWriteTime.dwLowDateTime);
  int64_t whole = steps / kStepsPerSecond;
  if (steps % kStepsPerSecond < 0) {
    --whole;
  }
  *seconds = whole - kSecondsFrom1601To1970;
  return true;
}

}  // namespace plat
