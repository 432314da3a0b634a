#include "robot/constraints.hpp"

#include <cmath>

namespace velkor {
namespace {

bool accepted(const Pose& pose) {
  return pose.all_finite() && std::abs(pose.rotation.squaredNorm() - 1.0) < 1e-9;
}

std::expected<ConstraintSide, Error> resolve(const Model& model, const LinkId& link,
                                             const Pose& offset) {
  const auto index = model.link_index(link);
  if (!index) return std::unexpected(index.error());
  if (!accepted(offset))
    return std::unexpected(errors::InvalidConstraint{"an offset is not a normalised, finite pose"});
  return body_side(model, *index, offset);
}

}  // namespace

std::expected<ConstraintSet, Error> ConstraintSet::make(const Model& model,
                                                        std::span<const ConstraintItem> items,
                                                        Baumgarte gains) {
  if (!std::isfinite(gains.kp) || !std::isfinite(gains.kd) || gains.kp < 0.0 || gains.kd < 0.0)
    return std::unexpected(errors::InvalidConstraint{"baumgarte gains must be finite and not negative"});
  ConstraintSet set;
  set.model_id_ = model.id;
  set.gains_ = gains;
  set.items_.assign(items.begin(), items.end());
  set.resolved_.reserve(items.size());
  for (const ConstraintItem& item : items) {
    ResolvedConstraint r{item.kind, set.count_, {}, std::nullopt, std::nullopt};
    const auto a = resolve(model, item.link_a, item.offset_a);
    if (!a) return std::unexpected(a.error());
    r.a = *a;
    if (item.link_b) {
      const auto b = resolve(model, *item.link_b, item.offset_b);
      if (!b) return std::unexpected(b.error());
      r.b = *b;
      if (b->body == a->body && b->frame.translation == a->frame.translation &&
          (item.kind == ConstraintKind::Point ||
           b->frame.rotation.coeffs() == a->frame.rotation.coeffs()))
        return std::unexpected(
            errors::InvalidConstraint{"a loop closure joins a point of a body to itself"});
    }
    if (item.target) {
      if (item.link_b) return std::unexpected(errors::InvalidConstraint{"a loop closure has no target"});
      if (!accepted(*item.target))
        return std::unexpected(errors::InvalidConstraint{"a target is not a normalised, finite pose"});
      r.target = item.target;
    }
    set.count_ += r.rows();
    set.sides_ += r.b ? 2 : 1;
    set.resolved_.push_back(r);
  }
  return set;
}

}  // namespace velkor
