// Bilateral constraints: contacts that hold a point or a frame of a link still
// in the world, and loop closures that make two points or frames move together.
//
// A constraint set is immutable once made and belongs to one model (its forks
// share it). Its m rows are the items' rows in order: 3 for a point (the
// point's linear velocity, world axes), 6 for a frame (angular, then the linear
// velocity of the frame's origin, world axes). A loop closure's rows are those
// of link_a's point or frame minus link_b's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "robot/link_id.hpp"
#include "robot/model.hpp"
#include "spatial.hpp"

namespace velkor {

enum class ConstraintKind { Point, Frame };

// One contact (no link_b) or loop closure, as the caller gives it: offsets in
// their links' frames; target, a contact's world pose (only the position term
// of the stabilisation reads it; without one that term is zero).
struct ConstraintItem {
  ConstraintKind kind = ConstraintKind::Point;
  LinkId link_a;
  Pose offset_a = Pose::identity();
  std::optional<LinkId> link_b;
  Pose offset_b = Pose::identity();
  std::optional<Pose> target;

  std::size_t rows() const { return kind == ConstraintKind::Point ? 3 : 6; }
};

// An item resolved against the moving bodies of the model: each side's body and
// its point or frame in that body's frame.
struct ConstraintSide {
  std::size_t body = 0;  // 0: the root body; d + 1: the child body of DOF d
  Pose frame = Pose::identity();
};

// Link `link` (an index of the model's links) with `offset` in its frame, as a
// side on the moving bodies.
inline ConstraintSide body_side(const Model& model, std::size_t link, const Pose& offset) {
  if (model.link_body.empty()) return ConstraintSide{link, offset};  // every link is a body
  return ConstraintSide{model.link_body[link], model.link_in_body[link].compose(offset)};
}

struct ResolvedConstraint {
  ConstraintKind kind = ConstraintKind::Point;
  std::size_t row = 0;  // its first row
  ConstraintSide a;
  std::optional<ConstraintSide> b;
  std::optional<Pose> target;

  std::size_t rows() const { return kind == ConstraintKind::Point ? 3 : 6; }
};

// Gains of the stabilisation: each row requires J q̈ + J̇ q̇ = −kd·(J q̇) − kp·e
// with e the position error (see constrained_dynamics.hpp); (0, 0): exact.
struct Baumgarte {
  double kp = 0.0;
  double kd = 0.0;
};

class ConstraintSet {
 public:
  // Checks every link id against the model, the offsets and target (accepted,
  // finite poses) and the gains (finite, not negative). An empty list is valid
  // (m = 0: the free dynamics).
  static std::expected<ConstraintSet, Error> make(const Model& model,
                                                  std::span<const ConstraintItem> items,
                                                  Baumgarte gains);

  std::uint64_t model_id() const { return model_id_; }
  std::size_t count() const { return count_; }
  // The items' sides: one per contact, two per loop closure.
  std::size_t side_count() const { return sides_; }
  const Baumgarte& gains() const { return gains_; }
  std::span<const ConstraintItem> items() const { return items_; }
  std::span<const ResolvedConstraint> resolved() const { return resolved_; }

 private:
  std::uint64_t model_id_ = 0;
  std::size_t count_ = 0;
  std::size_t sides_ = 0;
  Baumgarte gains_;
  std::vector<ConstraintItem> items_;
  std::vector<ResolvedConstraint> resolved_;
};

}  // namespace velkor
