#include "zone/zone_meter.h"

#include <utility>

#include "zone/task_identity.h"
#include "zone/zone_meters.h"

namespace vorn {

ZoneMeter::~ZoneMeter() { release(); }

void ZoneMeter::follow(std::shared_ptr<const zone::ZoneMapping> mapping) {
  if (mapping == mapping_) return;
  release();
  mapping_ = std::move(mapping);
  // The record is claimed at the first count, under the name given by then.
  claimed_by_ = 0;
}

void ZoneMeter::abandon() {
  record_.reset();
  counts_ = nullptr;
  mapping_.reset();
}

void ZoneMeter::rename(std::string_view name) {
  if (name == name_) return;
  release();
  name_ = std::string(name);
  claimed_by_ = 0;
}

void ZoneMeter::add_slowly(CheckOutcomeKind kind) {
  if (mapping_ && (claimed_by_ != zone::current_process().id ||
                   claimed_in_ != zone::fork_generation())) {
    record_.reset();  // none yet, or the parent's in a forked child
    claim();
  }
  if (record_) {
    zone::add_to_meter(mapping_->view(), *record_, kind);
  } else {
    unsaved_[kind] += 1;
  }
}

void ZoneMeter::claim() {
  record_ = zone::claim_meter(mapping_->view(), name_);
  claimed_by_ = zone::current_process().id;
  claimed_in_ = zone::fork_generation();
  counts_ = record_ ? mapping_->view().header()->meters[*record_].counts : nullptr;
  if (record_ && !unsaved_.empty()) {
    zone::add_to_meter(mapping_->view(), *record_, unsaved_);
    unsaved_ = {};
  }
}

void ZoneMeter::release() {
  if (record_ && mapping_ && claimed_by_ == zone::current_process().id) {
    zone::release_meter(mapping_->view(), *record_);
  }
  record_.reset();
  counts_ = nullptr;
}

}  // namespace vorn
