// The run report (-rFILE): what the run did, as JSON, for the scripts that
// call the tool. It is written when the run ends, however it ends (done,
// nothing to do, a device failed, a programming error, an interrupt), under a
// temporary name first and then renamed, so that a reader never sees half of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "app/front_end.h"

// The steps of one device's update that the report times.
enum class RunPhase : uint8_t { Backup, Programming, FindingAgain, Restore };
inline constexpr int RunPhaseCount = 4;

// The run starts: its wall-clock time is taken and every phase time cleared.
void RunReport_Start();
// The menu loop spent `ms` in `state` while `device` (an index into the
// devices) was processed; states outside the four phases are not timed.
void RunReport_AddTime(uint32_t device, MenuState state, uint32_t ms);
// Milliseconds the run has spent in `phase` of `device`.
uint32_t RunReport_PhaseMs(uint32_t device, RunPhase phase);

// The report of the run as `state` holds it, ended with `exitStatus` at
// `endSeconds` (wall clock, seconds since 1970-01-01 UTC).
std::string RunReport_Json(const FrontEndState& state, int exitStatus, int64_t endSeconds);
// Writes the report, ended now, to `path`: false, with the reason, when it
// could not be written.
bool RunReport_Write(const char* path, const FrontEndState& state, int exitStatus, char* why,
                     std::size_t size);

// Seconds since 1970-01-01 UTC as "YYYY-MM-DDThh:mm:ssZ".
std::string UtcText(int64_t seconds);
