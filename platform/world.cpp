// The program's clock, files and console behind the interfaces the engines use; both
// backends share them.
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/file.h"

namespace plat {

namespace {

class SystemClock final : public Clock {
 public:
  uint32_t NowMs() override { return now_ms(); }
  void SleepMs(uint32_t ms) override { sleep_ms(ms); }
};

class SystemFiles final : public Files {
 public:
  FileHandle Open(const char* path, FileMode mode) override { return file_open(path, mode); }
  bool Read(FileHandle file, void* buffer, uint32_t length, uint32_t* done) override {
    return file_read(file, buffer, length, done);
  }
  bool Write(FileHandle file, const void* buffer, uint32_t length, uint32_t* done) override {
    return file_write(file, buffer, length, done);
  }
  bool Seek(FileHandle file, int64_t offset, SeekFrom from, uint64_t* position) override {
    return file_seek(file, offset, from, position);
  }
  bool Flush(FileHandle file) override { return file_flush(file); }
  bool Close(FileHandle file) override { return file_close(file); }
  bool Delete(const char* path) override { return file_delete(path); }
  bool Replace(const char* from, const char* to) override { return file_replace(from, to); }
  bool RenameNew(const char* from, const char* to) override { return file_rename_new(from, to); }
  bool Exists(const char* path) override { return file_exists(path); }
  bool IsRegular(const char* path) override { return file_is_regular(path); }
  bool ModifiedTime(const char* path, int64_t* seconds) override {
    return file_modified_time(path, seconds);
  }
};

class SystemConsole final : public Console {
 public:
  void Print(std::string_view text) override {
    con_printf("%.*s", static_cast<int>(text.size()), text.data());
  }
  void Note(std::string_view text) override {
    con_note("%.*s", static_cast<int>(text.size()), text.data());
  }
  int ReadKey() override { return con_read_key(); }
  bool IsTerminal() override { return con_is_terminal(); }
  bool GetCursor(int* column, int* row) override { return con_get_cursor(column, row); }
  bool SetCursor(int column, int row) override { return con_set_cursor(column, row); }
};

}  // namespace

Console& system_console() {
  static SystemConsole console;
  return console;
}

Clock& system_clock() {
  static SystemClock clock;
  return clock;
}

Files& system_files() {
  static SystemFiles files;
  return files;
}

}  // namespace plat
