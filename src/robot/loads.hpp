// External loads: wrenches (torque, force) in a link's own frame, at its origin,
// exerted by the link on its surroundings, so the joints must supply +Jᵀ·load.
#pragma once

#include <cstdint>
#include <expected>
#include <limits>
#include <span>
#include <vector>

#include "error.hpp"
#include "robot/link_id.hpp"
#include "robot/model.hpp"
#include "spatial.hpp"

namespace velkor {

struct IndexedLoad {
  LinkId link;
  Vec3 torque = Vec3::Zero();
  Vec3 force = Vec3::Zero();

  Vec6 wrench() const {
    Vec6 w;
    w.head<3>() = torque;
    w.tail<3>() = force;
    return w;
  }
};

// At most one load per link, with O(1) set, add and remove through a slot table.
class LoadBuffer {
 public:
  LoadBuffer(std::size_t link_count, std::uint64_t model_id);

  std::expected<void, Error> set(LinkId link, const Vec6& wrench);
  // Adds to the link's load; a non-finite sum fails and changes nothing.
  std::expected<void, Error> add(LinkId link, const Vec6& wrench);
  // The last load moves into the freed position.
  std::expected<void, Error> remove(LinkId link);
  void clear();

  std::size_t size() const { return loads_.size(); }
  std::span<const IndexedLoad> loads() const { return loads_; }
  std::uint64_t model_id() const { return model_id_; }

 private:
  static constexpr std::size_t empty = std::numeric_limits<std::size_t>::max();
  std::expected<void, Error> check_link(LinkId link) const;

  std::vector<std::size_t> slots_;  // per link: position in loads_, or empty
  std::vector<IndexedLoad> loads_;  // capacity L: never grows in use
  std::uint64_t model_id_;
};

// Sums the loads, moved into their bodies' frames, into the load workspace
// (entry d for body d + 1 of the moving bodies) and returns the root body's load.
std::expected<Vec6, Error> prepare_indexed_loads(const Model& model, std::span<const IndexedLoad> loads,
                                                 std::span<Vec6> load_workspace);

}  // namespace velkor
