#include "app/port_schedule.h"

#include <algorithm>
#include <utility>

namespace {

bool PastBus(FlowStage stage) { return stage == FlowStage::AfterBus || stage == FlowStage::Ended; }

}  // namespace

PortSchedule::PortSchedule(std::vector<ScheduledDevice> devices, uint32_t ahead)
    : devices_(std::move(devices)),
      stages_(devices_.size(), FlowStage::Waiting),
      moved_(devices_.size(), false),
      holding_(devices_.size(), false),
      ahead_(ahead == 0 ? 1 : ahead) {
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    if (!devices_[i].chosen) stages_[i] = FlowStage::Ended;
  }
  // Each chosen controller is placed once no unplaced chosen controller
  // needs it moved; a ring of controllers that each stand on another's
  // standard address is broken at its lowest index, which then goes first
  // and is moved like a bystander once its own update has ended.
  std::vector<bool> placed(devices_.size(), false);
  std::size_t remaining = 0;
  for (const ScheduledDevice& d : devices_) remaining += d.chosen ? 1u : 0u;
  while (remaining > 0) {
    std::size_t pick = devices_.size();
    std::size_t fallback = devices_.size();
    for (std::size_t i = 0; i < devices_.size() && pick == devices_.size(); ++i) {
      if (!devices_[i].chosen || placed[i]) continue;
      if (fallback == devices_.size()) fallback = i;
      bool needed = false;
      for (std::size_t j = 0; j < devices_.size(); ++j) {
        needed = needed || (j != i && devices_[j].chosen && !placed[j] &&
                            devices_[j].occupant == static_cast<int>(i));
      }
      if (!needed) pick = i;
    }
    if (pick == devices_.size()) pick = fallback;
    placed[pick] = true;
    order_.push_back(pick);
    --remaining;
  }
}

bool PortSchedule::Needed(std::size_t o) const {
  const auto at = std::find(order_.begin(), order_.end(), o);
  for (std::size_t j = 0; j < devices_.size(); ++j) {
    if (j == o || !devices_[j].chosen || devices_[j].occupant != static_cast<int>(o)) continue;
    // Past its turn and off the standard address, it needs it free no more.
    if (PastBus(stages_[j]) && !holding_[j]) continue;
    // A chosen occupant is held back only by those that go on the bus
    // before it; the ones after it find it ended and move it as a bystander.
    if (at == order_.end() || std::find(order_.begin(), at, j) != at) return true;
  }
  return false;
}

bool PortSchedule::MayBackUp(std::size_t i) const {
  if (blocked_ || stopped_ || !devices_[i].chosen || stages_[i] != FlowStage::Waiting) {
    return false;
  }
  if (moved_[i] || Needed(i)) return false;
  uint32_t queued = 0;
  for (std::size_t j : order_) {
    if (stages_[j] == FlowStage::BackingUp || stages_[j] == FlowStage::ReadyForBus) ++queued;
  }
  if (queued >= ahead_) return false;
  // In the order of the bus turns: an earlier controller still waiting to
  // start goes first.
  for (std::size_t j : order_) {
    if (j == i) return true;
    if (stages_[j] == FlowStage::Waiting) return false;
  }
  return false;
}

bool PortSchedule::MayTakeBus(std::size_t i) const {
  if (blocked_ || stopped_ || !devices_[i].chosen || stages_[i] != FlowStage::ReadyForBus) {
    return false;
  }
  for (std::size_t j = 0; j < devices_.size(); ++j) {
    if (stages_[j] == FlowStage::OnBus || holding_[j]) return false;
  }
  // Its occupant is moved as part of this turn: it must not be in the middle
  // of its own update.
  const int o = devices_[i].occupant;
  if (o >= 0 && stages_[static_cast<std::size_t>(o)] != FlowStage::Waiting &&
      stages_[static_cast<std::size_t>(o)] != FlowStage::Ended) {
    return false;
  }
  for (std::size_t j : order_) {
    if (j == i) return true;
    if (!PastBus(stages_[j])) return false;
  }
  return false;
}

int PortSchedule::MoveBefore(std::size_t i) const {
  const int o = devices_[i].occupant;
  if (o < 0 || moved_[static_cast<std::size_t>(o)]) return -1;
  return o;
}

bool PortSchedule::MayMoveBack(std::size_t o) const {
  // A bootloader may answer at the address it had: it stays where it is,
  // and the journal keeps its move for the next run.
  if (!moved_[o] || blocked_) return false;
  // As when one controller is updated alone, the occupant goes back once the
  // last controller that needed it moved is past its turn and off the
  // standard address, before that one's settle wait and restart.
  for (std::size_t j = 0; j < devices_.size(); ++j) {
    if (j != o && devices_[j].chosen && devices_[j].occupant == static_cast<int>(o) &&
        (!PastBus(stages_[j]) || holding_[j])) {
      return false;
    }
  }
  return true;
}

bool PortSchedule::Finished() const {
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    if (stages_[i] != FlowStage::Ended || (moved_[i] && !blocked_)) return false;
  }
  return true;
}

void PortSchedule::SetStage(std::size_t i, FlowStage stage) {
  stages_[i] = stage;
  if (stage == FlowStage::Ended) holding_[i] = false;
}

void PortSchedule::HoldsStandardAddress(std::size_t i) { holding_[i] = true; }

void PortSchedule::LeftStandardAddress(std::size_t i) { holding_[i] = false; }

void PortSchedule::LeftInBootloader(std::size_t) { blocked_ = true; }

bool PortSchedule::Stranded(std::size_t i) const {
  return (blocked_ || stopped_) && devices_[i].chosen &&
         (stages_[i] == FlowStage::Waiting || stages_[i] == FlowStage::ReadyForBus);
}

void PortSchedule::Moved(std::size_t occupant, bool moved) { moved_[occupant] = moved; }
