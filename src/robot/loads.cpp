#include "robot/loads.hpp"

#include <algorithm>

#include "fault.hpp"

namespace velkor {

LoadBuffer::LoadBuffer(std::size_t link_count, std::uint64_t model_id)
    : slots_(link_count, empty), model_id_(model_id) {
  loads_.reserve(link_count);
}

std::expected<void, Error> LoadBuffer::check_link(LinkId link) const {
  if (link.model_id != model_id_ || link.index >= slots_.size())
    return std::unexpected(errors::InvalidLinkId{});
  return {};
}

std::expected<void, Error> LoadBuffer::set(LinkId link, const Vec6& wrench) {
  VELKOR_TRY(check_link(link));
  if (!wrench.allFinite()) return std::unexpected(errors::NonFiniteInput{"load"});
  std::size_t& slot = slots_[link.index];
  if (slot == empty) {
    slot = loads_.size();
    loads_.push_back(IndexedLoad{link, wrench.head<3>(), wrench.tail<3>()});
  } else {
    VELKOR_INVARIANT(slot < loads_.size(), "load slot points into the load list");
    loads_[slot].torque = wrench.head<3>();
    loads_[slot].force = wrench.tail<3>();
  }
  return {};
}

std::expected<void, Error> LoadBuffer::add(LinkId link, const Vec6& wrench) {
  VELKOR_TRY(check_link(link));
  if (!wrench.allFinite()) return std::unexpected(errors::NonFiniteInput{"load"});
  const std::size_t slot = slots_[link.index];
  if (slot == empty) return set(link, wrench);
  VELKOR_INVARIANT(slot < loads_.size(), "load slot points into the load list");
  const Vec6 sum = loads_[slot].wrench() + wrench;
  if (!sum.allFinite()) return std::unexpected(errors::NumericalFailure{"load aggregation"});
  return set(link, sum);
}

std::expected<void, Error> LoadBuffer::remove(LinkId link) {
  VELKOR_TRY(check_link(link));
  const std::size_t slot = slots_[link.index];
  if (slot == empty) return {};
  VELKOR_INVARIANT(slot < loads_.size(), "load slot points into the load list");
  const std::size_t last = loads_.size() - 1;
  if (slot != last) {
    loads_[slot] = loads_[last];
    slots_[loads_[slot].link.index] = slot;
  }
  loads_.pop_back();
  slots_[link.index] = empty;
  return {};
}

void LoadBuffer::clear() {
  for (const IndexedLoad& load : loads_) slots_[load.link.index] = empty;
  loads_.clear();
}

std::expected<Vec6, Error> prepare_indexed_loads(const Model& model, std::span<const IndexedLoad> loads,
                                                 std::span<Vec6> load_workspace) {
  std::fill(load_workspace.begin(), load_workspace.end(), Vec6::Zero());
  Vec6 root = Vec6::Zero();
  for (const IndexedLoad& load : loads) {
    if (load.link.model_id != model.id || load.link.index >= model.link_count())
      return std::unexpected(errors::InvalidLinkId{});
    Vec6 wrench = load.wrench();
    if (!wrench.allFinite()) return std::unexpected(errors::NonFiniteInput{"load"});
    // Into the body's frame X = (R, p): f_b = R f, n_b = R n + p × f_b.
    const Pose& X = model.link_in_body[load.link.index];
    if (!X.is_identity()) {
      const Vec3 f = X.rotate(load.force);
      wrench << X.rotate(load.torque) + X.translation.cross(f), f;
    }
    Vec6& target = parent_row(model.link_body[load.link.index], root, load_workspace);
    target += wrench;
    if (!target.allFinite()) return std::unexpected(errors::NumericalFailure{"load aggregation"});
  }
  return root;
}

}  // namespace velkor
