// The folder that holds the settings backups and the journal of address
// moves: the working directory unless the program names another one at
// start-up (BREVANE_BACKUPS).
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/result.h"
#include "platform/file.h"

inline constexpr std::size_t BackupPathMax = 300;
// The longest folder name that leaves room for the files' own names.
inline constexpr std::size_t BackupFolderNameMax = BackupPathMax - 32;

// `folder` empty or nullptr: the working directory. Set once at start-up,
// before any worker is given a job.
void BackupFolder_Set(const char* folder);
// The folder as set: empty for the working directory.
const char* BackupFolder_Get();
// The folder as shown to the operator: "the working directory" or the folder.
const char* BackupFolder_Shown();
// `name` inside the folder. False when the path does not fit `size`.
bool BackupFolder_Path(const char* name, char* path, std::size_t size);
// The step of the folder's check that failed.
enum class FolderCheckStep : uint8_t { NameTooLong, Create, Write, Flush, Close, Remove };
// Whether the folder can take a file: a probe file is created, written,
// flushed to the disk and removed. Done, or FileFailed with the system's
// words and the step that failed in `failed`.
Result BackupFolder_Probe(plat::Files& files, FolderCheckStep* failed);
