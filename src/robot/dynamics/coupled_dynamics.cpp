#include <algorithm>
#include <cmath>
#include <limits>

#include "fault.hpp"
#include "robot/coupling.hpp"
#include "robot/dynamics/articulated.hpp"
#include "robot/dynamics/coupled_dynamics.hpp"

namespace velkor {
namespace {

using namespace articulated;

constexpr std::size_t no_block = CoupledScratch::no_block;

// One body's open groups in the coupled scratch: slot i of the body's block.
class OpenGroups {
 public:
  OpenGroups(CoupledScratch& s, std::size_t body) : s_(s), b_(body), cap_(s.capacity) {}

  std::size_t count() const { return s_.open_count[b_]; }
  std::size_t& group(std::size_t i) { return s_.open_group[at(i)]; }
  std::size_t& seen(std::size_t i) { return s_.open_seen[at(i)]; }
  Vec6& V(std::size_t i) { return s_.open_V[at(i)]; }
  double& u(std::size_t i) { return s_.open_u[at(i)]; }
  double& bound(std::size_t i) { return s_.open_bound[at(i)]; }
  double& D(std::size_t i, std::size_t j) { return s_.open_D[at(i) * cap_ + j]; }

  // The slot of `group`, opened (V = 0, u = τ, no DOF seen, no coupling) when
  // absent; the body's first group takes it a block.
  std::size_t slot(std::size_t group_id, double tau) {
    for (std::size_t i = 0; i < count(); ++i)
      if (group(i) == group_id) return i;
    if (s_.open_block[b_] == no_block) {
      VELKOR_INVARIANT(s_.free_top > 0,
                       "the coupled scratch has a block for every body that holds groups");
      s_.open_block[b_] = s_.free_blocks[--s_.free_top];
    }
    const std::size_t i = s_.open_count[b_]++;
    VELKOR_INVARIANT(i < cap_, "the coupled scratch holds every open group");
    group(i) = group_id;
    seen(i) = 0;
    V(i).setZero();
    u(i) = tau;
    bound(i) = 0.0;
    for (std::size_t j = 0; j <= i; ++j) D(i, j) = D(j, i) = 0.0;
    return i;
  }

  // Gives the body's block back once its parent holds its groups.
  void release() {
    if (s_.open_block[b_] == no_block) return;
    s_.free_blocks[s_.free_top++] = s_.open_block[b_];
    s_.open_block[b_] = no_block;
    s_.open_count[b_] = 0;
  }

  // Removes slot i (the last slot moves into it).
  void remove(std::size_t i) {
    const std::size_t last = count() - 1;
    if (i != last) {
      group(i) = group(last);
      seen(i) = seen(last);
      V(i) = V(last);
      u(i) = u(last);
      bound(i) = bound(last);
      for (std::size_t j = 0; j < last; ++j) D(i, j) = D(last, j), D(j, i) = D(j, last);
      D(i, i) = D(last, last);
    }
    --s_.open_count[b_];
  }

 private:
  std::size_t at(std::size_t i) const { return s_.open_block[b_] * cap_ + i; }

  CoupledScratch& s_;
  std::size_t b_, cap_;
};

// Eliminates the open groups of `open` whose DOFs are all below, against the
// acceleration of what they hang from: I^A −= V Vᵀ/D, p^A += V u/D, and the
// other open groups by the same Schur complement; each elimination is recorded
// for the outward pass with `joint`.
std::expected<void, Error> eliminate_complete(const Coupling& coupling, OpenGroups& open,
                                              std::size_t joint, Mat6& IA, Vec6& pA, CoupledScratch& s,
                                              std::size_t& records) {
  for (std::size_t i = 0; i < open.count();) {
    if (open.seen(i) != coupling.members[open.group(i)]) {
      ++i;
      continue;
    }
    const double Dxx = open.D(i, i);
    if (!std::isfinite(Dxx))
      return std::unexpected(errors::NumericalFailure{"joint articulated inertia"});
    if (Dxx <= 32.0 * std::numeric_limits<double>::epsilon() * open.bound(i))
      return std::unexpected(errors::ForwardDynamicsSingularJointInertia{open.group(i)});
    const Vec6 V = open.V(i);
    const double u = open.u(i), inverse = 1.0 / Dxx;
    const std::size_t r = records++;
    s.record_joint[r] = joint;
    s.record_group[r] = open.group(i);
    s.record_V[r] = V;
    s.record_u[r] = u;
    s.record_D[r] = Dxx;
    std::size_t rows = 0;
    for (std::size_t j = 0; j < open.count(); ++j) {
      if (j == i) continue;
      s.record_row_group[r * s.capacity + rows] = open.group(j);
      s.record_row_value[r * s.capacity + rows++] = open.D(i, j);
    }
    s.record_rows[r] = rows;
    // the Schur complement of D_xx
    const Vec6 V_D = V * inverse;
    IA.noalias() -= V_D * V.transpose();
    pA += V_D * u;
    for (std::size_t j = 0; j < open.count(); ++j) {
      if (j == i) continue;
      const double Dji = open.D(j, i);
      open.V(j) -= V_D * Dji;
      open.u(j) -= Dji * u * inverse;
      for (std::size_t l = 0; l < open.count(); ++l)
        if (l != i) open.D(j, l) -= Dji * open.D(i, l) * inverse;
    }
    open.remove(i);
  }
  return {};
}

// Adds body b's open groups into its parent's (τ counted once per group), their
// force columns moved by b's offset r to the parent's origin.
void merge_open(const std::span<const double> tau, const Vec3& r, OpenGroups& child, OpenGroups& parent,
                std::span<std::size_t> map) {
  for (std::size_t i = 0; i < child.count(); ++i) {
    const std::size_t j = parent.slot(child.group(i), tau[child.group(i)]);
    map[i] = j;
    parent.seen(j) += child.seen(i);
    parent.V(j) += force_to_parent(r, child.V(i));
    parent.u(j) += child.u(i) - tau[child.group(i)];
    parent.bound(j) += child.bound(i);
  }
  for (std::size_t i = 0; i < child.count(); ++i)
    for (std::size_t l = 0; l < child.count(); ++l) parent.D(map[i], map[l]) += child.D(i, l);
}

// The forward dynamics' blocks of open groups and its records' rows: made by
// its first call on a workspace (allocates), nothing after that.
void reserve_forward_scratch(const Coupling& coupling, CoupledScratch& s) {
  const std::size_t cap = std::max<std::size_t>(1, coupling.most_open),
                    blocks = std::max<std::size_t>(1, coupling.open_blocks),
                    groups = coupling.free_count() + 1;
  if (s.capacity == cap && s.free_blocks.size() == blocks) return;  // `capacity` is set last
  s.capacity = 0;
  s.free_blocks.resize(blocks);
  s.open_group.assign(blocks * cap, 0);
  s.open_seen.assign(blocks * cap, 0);
  s.open_V.assign(blocks * cap, Vec6::Zero());
  s.open_u.assign(blocks * cap, 0.0);
  s.open_bound.assign(blocks * cap, 0.0);
  s.open_D.assign(blocks * cap * cap, 0.0);
  s.record_row_group.assign(groups * cap, 0);
  s.record_row_value.assign(groups * cap, 0.0);
  s.merge_map.assign(cap, 0);
  s.capacity = cap;
}

}  // namespace

std::expected<void, Error> coupled_articulated_body(const Model& model, const Base& base, Workspace& w,
                                                    std::span<const double> q_full,
                                                    std::span<const double> qd_full,
                                                    std::span<const double> forces,
                                                    std::span<const IndexedLoad> loads,
                                                    std::span<double> out) {
  VELKOR_INVARIANT(model.coupling != nullptr, "a coupled model");
  const Coupling& coupling = *model.coupling;
  const std::size_t n = model.dof_count(), o = base.coordinates(), G = coupling.free_count();
  const auto root_load = entry_checks(model, q_full, qd_full, forces, G + o, loads, out, w);
  if (!root_load) return std::unexpected(root_load.error());
  CoupledScratch& s = w.coupled;  // reserved by full_coordinates
  reserve_forward_scratch(coupling, s);
  std::fill(s.open_count.begin(), s.open_count.end(), 0);
  std::fill(s.open_block.begin(), s.open_block.end(), no_block);
  s.free_top = s.free_blocks.size();
  for (std::size_t b = 0; b < s.free_top; ++b) s.free_blocks[b] = b;
  std::size_t records = 0;
  const std::span<const double> tau = forces.subspan(o);  // per free coordinate

  const Vec6 v0 = root_velocity(base);
  const Model& bodies = model.moving();
  const Mat6 I0 = spatial_inertia(bodies.link_mass_properties[0]);
  Mat6 IA0 = I0;
  Vec6 pA0 = *root_load + force_cross(v0, I0 * v0);
  velocity_pass(bodies, q_full, qd_full, v0, !loads.empty(), w);

  // Inward, about each body's origin: DOF k (body k + 1) substitutes
  // a = a_p (at p_k) + c_k + s q̈_x, s = g_k S_k; the body's rows and its open
  // groups' columns then move to the parent's origin.
  for (std::size_t k = n; k-- > 0;) {
    const std::size_t x = coupling.group[k], p = bodies.parent[k];
    Mat6& IA = w.fd_inertia[k];
    Vec6& pA = w.fd_bias_force[k];
    const Vec6& c = w.fd_bias_acceleration[k];
    OpenGroups open(s, k + 1);
    s.classical[k] = coupling.members[x] == 1 && open.count() == 0;
    if (s.classical[k]) {  // a free DOF with nothing open below: the classical step
      const bool propagate = p != 0 || base.floating;
      VELKOR_TRY(articulated_step(k, k, bodies.joint_kinematics[k].kind, tau[x],
                                  propagate ? &parent_row(p, IA0, w.fd_inertia) : nullptr,
                                  propagate ? &parent_row(p, pA0, w.fd_bias_force) : nullptr, w,
                                  x));  // named by its free coordinate
      continue;
    }
    const Vec6 S = w.motion_axes[k] * coupling.multiplier[k];
    const std::size_t ix = open.slot(x, tau[x]);
    double sV_x = 0.0;
    for (std::size_t i = 0; i < open.count(); ++i) {
      const double sV = open.V(i).dot(S);
      if (i == ix) sV_x = sV;
      open.u(i) -= open.V(i).dot(c);
      open.D(i, ix) += sV;
      open.D(ix, i) += sV;
    }
    const Vec6 U = IA * S;
    const double reach = axis_reach(IA, S);
    open.bound(ix) += reach * reach + 2.0 * std::abs(sV_x);
    open.V(ix) += U;
    open.D(ix, ix) += S.dot(U);
    open.u(ix) -= S.dot(pA) + U.dot(c);
    ++open.seen(ix);
    pA += IA * c;
    VELKOR_TRY(eliminate_complete(coupling, open, k, IA, pA, s, records));
    const Vec3& r = w.fd_offset[k];
    if (p != 0 || base.floating) {
      add_to_parent(r, IA, parent_row(p, IA0, w.fd_inertia));
      parent_row(p, pA0, w.fd_bias_force) += force_to_parent(r, pA);
    }
    OpenGroups parent(s, p);
    merge_open(tau, r, open, parent, s.merge_map);
    open.release();
  }
  OpenGroups at_root(s, 0);
  VELKOR_TRY(eliminate_complete(coupling, at_root, n, IA0, pA0, s, records));
  VELKOR_INVARIANT(at_root.count() == 0, "every group closes by the root");

  std::fill(out.begin(), out.end(), 0.0);
  const auto a0 = base_acceleration(base, forces, v0, IA0, pA0, out);
  if (!a0) return std::unexpected(a0.error());
  // Outward: the groups eliminated at DOF k see a_p (at body k's origin), in
  // the reverse order of their elimination; then a_k. The records run from the
  // deepest DOF to the root, so walking them backwards visits the root's first,
  // then DOF 0, 1, ...
  const auto solve = [&](std::size_t at, const Vec6& a_p) -> bool {
    double numerator = s.record_u[at] - s.record_V[at].dot(a_p);
    for (std::size_t e = 0; e < s.record_rows[at]; ++e)
      numerator -= s.record_row_value[at * s.capacity + e] *
                   s.group_qdd[s.record_row_group[at * s.capacity + e]];
    const double qdd = numerator / s.record_D[at];
    s.group_qdd[s.record_group[at]] = qdd;
    return std::isfinite(qdd);
  };
  std::size_t at = records;
  for (; at > 0 && s.record_joint[at - 1] == n; --at)
    if (!solve(at - 1, *a0)) return std::unexpected(errors::NumericalFailure{"joint acceleration"});
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t p = bodies.parent[k];
    const Vec6& a_p = p == 0 ? *a0 : w.fd_acceleration[p - 1];
    if (s.classical[k]) {
      const auto qdd = joint_acceleration(k, k, bodies.joint_kinematics[k].kind, a_p, w);
      if (!qdd) return std::unexpected(errors::NumericalFailure{"joint acceleration"});
      s.group_qdd[coupling.group[k]] = *qdd;
      continue;
    }
    const Vec6 a_here = motion_to_child(w.fd_offset[k], a_p);  // a_p at p_k
    for (; at > 0 && s.record_joint[at - 1] == k; --at)
      if (!solve(at - 1, a_here)) return std::unexpected(errors::NumericalFailure{"joint acceleration"});
    w.fd_acceleration[k] = a_here + w.fd_bias_acceleration[k] +
                           w.motion_axes[k] * (coupling.multiplier[k] * s.group_qdd[coupling.group[k]]);
  }
  VELKOR_INVARIANT(at == 0, "every elimination solved");
  for (std::size_t x = 0; x < G; ++x) out[o + x] = s.group_qdd[x];
  return {};
}

}  // namespace velkor
