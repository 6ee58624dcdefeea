// The firmware the program carries and the rules that say which devices it
// fits and which of them need it. Apart from the description list, every
// query is a pure function of its arguments, the package table and the two
// policy settings.
#pragma once

#include <cstdint>

#include "client/scan.h"
#include "image/carried_image.h"

struct ImagePackage {
  uint8_t hardwareId;
  uint8_t release;
  uint8_t prototype;
  uint16_t build;
  const char* description;
  uint16_t blockCount;
  const ImageBlock* blocks;
};

// A yes/no command-line setting: Yes and No when the option named them, Unset
// when it was absent or said anything else.
enum class YesNoSetting : uint8_t { Yes = 0, No = 1, Unset = 2 };

// Hardware-id arguments are 32-bit: a value outside 0 to 255 matches no package.
const ImagePackage* Image_Find(int32_t hardwareId);
int Image_IsKnown(int32_t hardwareId);
uint16_t Image_GetBuild(int32_t hardwareId);  // 0 without a package
uint16_t Image_GetBlockCount(int32_t hardwareId);
// nullptr without a package or past the last block.
const ImageBlock* Image_GetBlock(int32_t hardwareId, uint16_t index);
// The package's description; for a hardware id without a package, every
// package's description followed by "\r\n", in hardware-id order. The list is
// one buffer that each such call overwrites.
const char* Image_GetDescription(int32_t hardwareId);

// Band of station addresses, both ends included, in which a device is looked
// for again after it may have moved.
uint8_t Image_SearchRangeLow(int32_t hardwareId);
uint8_t Image_SearchRangeHigh(int32_t hardwareId);
// The address a device occupies in its standard bus configuration.
uint8_t Image_StandardAddress(int32_t hardwareId);
// The holding register whose write brings a device back from Modbus.
uint16_t Image_ModbusSelectRegister(int32_t hardwareId);

uint8_t Image_PatternCount();
const char* Image_GetPattern(uint8_t index);  // nullptr from Image_PatternCount() on
// Whole-text, case-sensitive lookup of a pattern (no wildcards); 255 when absent.
uint8_t Image_HardwareIdForPattern(const char* pattern);

// The "-b" and "-f" settings, handed over once the command line is read.
void Image_SetPolicy(YesNoSetting backup, YesNoSetting defaultsWrite);
// 0 when the setting is No, else 1; the hardware id does not change the answer.
int Image_BackupEnabled(int32_t hardwareId);
int Image_DefaultsWriteEnabled(int32_t hardwareId);

// Copy, in input order, the records the carried image fits (Image_SelectDevices)
// or whose build is below the image's (Image_SelectUpgradable) into `out`,
// which has room for `count` records and does not overlap `in`. Return the
// number copied.
uint32_t Image_SelectDevices(const DeviceRecord* in, uint32_t count, DeviceRecord* out);
uint32_t Image_SelectUpgradable(const DeviceRecord* in, uint32_t count, DeviceRecord* out);
