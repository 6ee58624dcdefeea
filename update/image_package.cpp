#include "update/image_package.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>

namespace {

const ImagePackage kPackages[] = {
    {CarriedImageHardwareId, CarriedImageRelease, CarriedImagePrototype, CarriedImageBuild,
     "Upgrades:  Brevane QD to revision 14.00.180\r\n\r\n"
     "           Power cycle if control displays 'rEtn 100' after loading.\r\n\r\n",
     CarriedImageBlockCount, CarriedImageBlocks},
};

// Models related to the carried hardware, tried in this order when a device's
// hardware id has no package of its own.
const char* const kRelatedModels[] = {"TVX************", "TVY************", "TVZ************"};

struct PatternHardware {
  const char* pattern;
  uint8_t hardwareId;
};
const PatternHardware kPatternHardware[] = {{"QD*****-6******", 32}};

constexpr std::size_t kDescriptionListSize = 2048;
char g_descriptionList[kDescriptionListSize];

// Written once by the front end after the command line is read; the workers
// read them while they run.
std::atomic<YesNoSetting> g_backupSetting{YesNoSetting::Unset};
std::atomic<YesNoSetting> g_defaultsWriteSetting{YesNoSetting::Unset};

// '*' and 'X' in a pattern stand for any character; the comparison stops,
// as a match, when either text ends.
bool ModelFitsPattern(const char* pattern, const char* model) {
  for (std::size_t i = 0; pattern[i] != '\0' && model[i] != '\0'; ++i) {
    const char p = pattern[i];
    if (p != '*' && p != 'X' && p != model[i]) return false;
  }
  return true;
}

// Appends as much of `text` as the list has room for, keeping the terminator.
void AppendToList(const char* text) {
  const std::size_t used = std::strlen(g_descriptionList);
  const std::size_t room = kDescriptionListSize - 1 - used;
  const std::size_t n = std::min(room, std::strlen(text));
  std::memcpy(g_descriptionList + used, text, n);
  g_descriptionList[used + n] = '\0';
}

}  // namespace

const ImagePackage* Image_Find(int32_t hardwareId) {
  for (const ImagePackage& package : kPackages) {
    if (package.hardwareId == hardwareId) return &package;
  }
  return nullptr;
}

int Image_IsKnown(int32_t hardwareId) { return Image_Find(hardwareId) != nullptr ? 1 : 0; }

uint16_t Image_GetBuild(int32_t hardwareId) {
  const ImagePackage* package = Image_Find(hardwareId);
  return package != nullptr ? package->build : 0;
}

uint16_t Image_GetBlockCount(int32_t hardwareId) {
  const ImagePackage* package = Image_Find(hardwareId);
  return package != nullptr ? package->blockCount : 0;
}

const ImageBlock* Image_GetBlock(int32_t hardwareId, uint16_t index) {
  const ImagePackage* package = Image_Find(hardwareId);
  if (package == nullptr || index >= package->blockCount) return nullptr;
  return &package->blocks[index];
}

const char* Image_GetDescription(int32_t hardwareId) {
  const ImagePackage* package = Image_Find(hardwareId);
  if (package != nullptr) return package->description;
  g_descriptionList[0] = '\0';
  for (int32_t id = 0; id <= 254; ++id) {
    const ImagePackage* found = Image_Find(id);
    if (found == nullptr) continue;
    AppendToList(found->description);
    AppendToList("\r\n");
  }
  return g_descriptionList;
}

uint8_t Image_SearchRangeLow(int32_t) { return 16; }
uint8_t Image_SearchRangeHigh(int32_t) { return 31; }
uint8_t Image_StandardAddress(int32_t hardwareId) { return hardwareId == 25 ? 32 : 16; }
uint16_t Image_ModbusSelectRegister(int32_t hardwareId) {
  return hardwareId == 23 ? 2832 : 2492;
}

uint8_t Image_PatternCount() { return static_cast<uint8_t>(std::size(kRelatedModels)); }

const char* Image_GetPattern(uint8_t index) {
  return index < std::size(kRelatedModels) ? kRelatedModels[index] : nullptr;
}

uint8_t Image_HardwareIdForPattern(const char* pattern) {
  for (const PatternHardware& entry : kPatternHardware) {
    if (std::strcmp(entry.pattern, pattern) == 0) return entry.hardwareId;
  }
  return 255;
}

void Image_SetPolicy(YesNoSetting backup, YesNoSetting defaultsWrite) {
  g_backupSetting.store(backup);
  g_defaultsWriteSetting.store(defaultsWrite);
}

int Image_BackupEnabled(int32_t) { return g_backupSetting.load() == YesNoSetting::No ? 0 : 1; }

int Image_DefaultsWriteEnabled(int32_t) {
  return g_defaultsWriteSetting.load() == YesNoSetting::No ? 0 : 1;
}

uint32_t Image_SelectDevices(const DeviceRecord* in, uint32_t count, DeviceRecord* out) {
  uint32_t written = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const DeviceRecord& record = in[i];
    if (Image_IsKnown(record.hardwareId) == 1) {
      out[written++] = record;
      continue;
    }
    // Only the first related model that fits decides.
    for (uint8_t p = 0; p < Image_PatternCount(); ++p) {
      const char* pattern = Image_GetPattern(p);
      if (pattern == nullptr || !ModelFitsPattern(pattern, record.modelNumber)) continue;
      const uint8_t mapped = Image_HardwareIdForPattern(pattern);
      if (mapped != 255) {
        out[written] = record;
        out[written].matchedByModel = 1;
        out[written].hardwareId = mapped;
        ++written;
      }
      break;
    }
  }
  return written;
}

uint32_t Image_SelectUpgradable(const DeviceRecord* in, uint32_t count, DeviceRecord* out) {
  uint32_t written = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (in[i].build < static_cast<int32_t>(Image_GetBuild(in[i].hardwareId))) {
      out[written++] = in[i];
    }
  }
  return written;
}
