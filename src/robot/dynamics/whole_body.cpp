#include "robot/dynamics/whole_body.hpp"

#include <cmath>

#include "robot/checks.hpp"
#include "robot/dynamics/placement.hpp"
#include "spatial_algebra.hpp"

namespace velkor {
namespace {

// Everything below works in root-link coordinates about the root origin (the
// scheme of forward dynamics) and turns to world axes at the end.

// Spatial inertia of the whole robot, and I_k = each body's, in the composite row.
Rigid place_bodies(const Model& model, std::span<const double> q, Workspace& w) {
  Rigid total = rigid(model.link_mass_properties[0]);
  for (std::size_t k = 0; k < model.joint_count(); ++k) {
    place_body(model, k, model.joint_position(k, q.data()), w);
    total += w.composite[k] = placed(model.link_mass_properties[Model::child_link(k)], w.rotations[k],
                                     w.frames[k].translation);
  }
  return total;
}

// Total mass m and centre of mass c (root coordinates) from the total inertia.
struct MassCentre {
  double m;
  Vec3 c;
};

std::expected<MassCentre, Error> mass_centre(const Rigid& total) {
  if (!(total.m > 0.0))
    return std::unexpected(errors::NumericalFailure{"centre of mass of a massless robot"});
  return MassCentre{total.m, total.h / total.m};
}

// Momentum about the root origin, h_O = Σ I_k v_k with v_k = v_parent + S q̇ (the
// bodies placed), and twice the kinetic energy, Σ v_kᵀ I_k v_k.
std::pair<Vec6, double> momentum(const Model& model, const Base& base, std::span<const double> qd,
                                 Workspace& w) {
  const Vec6 v0 = root_velocity(base);
  Vec6 h = rigid(model.link_mass_properties[0]) * v0;
  double twice_energy = v0.dot(h);
  for (std::size_t k = 0; k < model.joint_count(); ++k) {
    Vec6 v = parent_row(model.parent[k], v0, w.fd_velocity);
    if (const auto dof = model.joint_dof[k]) v += root_motion_axis(model, k, w) * qd[*dof];
    w.fd_velocity[k] = v;
    const Vec6 Iv = w.composite[k] * v;
    h += Iv;
    twice_energy += v.dot(Iv);
  }
  return {h, twice_energy};
}

// Subtree inertias I_sub,k in the composite row (each body's first), children into parents.
void subtree_inertias(const Model& model, Workspace& w) {
  for (std::size_t k = model.joint_count(); k-- > 0;) {
    const std::size_t p = model.parent[k];
    if (p != 0) w.composite[p - 1] += w.composite[k];
  }
}

void write3(const Vec3& v, double* out) {
  Eigen::Map<Vec3> target(out);
  target = v;
}

std::expected<void, Error> check_q(const Model& model, std::span<const double> q) {
  return check_dof_vector(model, q, "q");
}

}  // namespace

std::expected<void, Error> center_of_mass(const Model& model, const Base& base, Workspace& w,
                                          std::span<const double> q, std::span<double> out,
                                          Coordinates coordinates) {
  if (model.coupling && coordinates == Coordinates::Caller)
    return coupled_entry::center_of_mass(model, base, w, q, out);
  VELKOR_TRY(check_q(model, q));
  VELKOR_TRY(check_output(out, 3, "centre of mass output"));
  const auto mc = mass_centre(place_bodies(model.moving(), q, w));
  if (!mc) return std::unexpected(mc.error());
  write3(base.state.frame.transform_point(mc->c), out.data());  // c_w = R_b c + p_b
  return {};
}

namespace {

// The bodies placed (the robot's total inertia) and the momentum about the root
// origin with twice the kinetic energy, once q, qd and `out` (`length`) are checked.
struct Motion {
  Rigid total;
  Vec6 h;
  double twice_energy;
};

std::expected<Motion, Error> motion(const Model& model, const Base& base, Workspace& w,
                                    std::span<const double> q, std::span<const double> qd,
                                    std::span<double> out, std::size_t length, Label name) {
  VELKOR_TRY(check_q(model, q));
  VELKOR_TRY(check_dof_vector(model, qd, "qd"));
  VELKOR_TRY(check_output(out, length, name));
  const Model& bodies = model.moving();
  const Rigid total = place_bodies(bodies, q, w);
  const auto [h, twice_energy] = momentum(bodies, base, qd, w);
  return Motion{total, h, twice_energy};
}

}  // namespace

std::expected<void, Error> center_of_mass_velocity(const Model& model, const Base& base, Workspace& w,
                                                   std::span<const double> q, std::span<const double> qd,
                                                   std::span<double> out, Coordinates coordinates) {
  if (model.coupling && coordinates == Coordinates::Caller)
    return coupled_entry::center_of_mass_velocity(model, base, w, q, qd, out);
  const auto m = motion(model, base, w, q, qd, out, 3, "centre of mass velocity output");
  if (!m) return std::unexpected(m.error());
  const auto mc = mass_centre(m->total);
  if (!mc) return std::unexpected(mc.error());
  write3(base.state.frame.rotate(Vec3(m->h.tail<3>()) / mc->m), out.data());  // ċ = R_b l / m
  return {};
}

std::expected<void, Error> centroidal_momentum(const Model& model, const Base& base, Workspace& w,
                                               std::span<const double> q, std::span<const double> qd,
                                               std::span<double> out, Coordinates coordinates) {
  if (model.coupling && coordinates == Coordinates::Caller)
    return coupled_entry::centroidal_momentum(model, base, w, q, qd, out);
  const auto m = motion(model, base, w, q, qd, out, 6, "centroidal momentum output");
  if (!m) return std::unexpected(m.error());
  const auto mc = mass_centre(m->total);
  if (!mc) return std::unexpected(mc.error());
  const Vec3 l = m->h.tail<3>();
  write3(base.state.frame.rotate(Vec3(m->h.head<3>()) - mc->c.cross(l)),
         out.data());  // k_G = R_b (n_O − c × l)
  write3(base.state.frame.rotate(l), out.data() + 3);
  return {};
}

std::expected<void, Error> kinetic_energy(const Model& model, const Base& base, Workspace& w,
                                          std::span<const double> q, std::span<const double> qd,
                                          std::span<double> out, Coordinates coordinates) {
  if (model.coupling && coordinates == Coordinates::Caller)
    return coupled_entry::kinetic_energy(model, base, w, q, qd, out);
  const auto m = motion(model, base, w, q, qd, out, 1, "kinetic energy output");
  if (!m) return std::unexpected(m.error());
  out[0] = 0.5 * m->twice_energy;  // T = ½ Σ vᵀ I v
  return {};
}

std::expected<void, Error> potential_energy(const Model& model, const Base& base, Workspace& w,
                                            std::span<const double> q, std::span<double> out,
                                            Coordinates coordinates) {
  if (model.coupling && coordinates == Coordinates::Caller)
    return coupled_entry::potential_energy(model, base, w, q, out);
  VELKOR_TRY(check_q(model, q));
  VELKOR_TRY(check_output(out, 1, "potential energy output"));
  const Rigid total = place_bodies(model.moving(), q, w);
  // V = −gᵀ Σ m c_w = −gᵀ (R_b h + m p_b)
  out[0] = -base.gravity.dot(base.state.frame.rotate(total.h) + total.m * base.state.frame.translation);
  return {};
}

namespace {

// Columns of both whole-body matrices, once q and `out` (`rows` x N, named
// `name`) are checked: F_d = I_sub,d S_d about the root origin, root axes,
// handed to `column(index, F)` per DOF after the base's own. Returns the mass
// and centre of mass.
template <class Column, class BaseColumns>
std::expected<MassCentre, Error> whole_body_columns(const Model& model, const Base& base, Workspace& w,
                                                    std::span<const double> q, std::span<double> out,
                                                    std::size_t rows, Label name, Column&& column,
                                                    BaseColumns&& base_columns) {
  VELKOR_TRY(check_q(model, q));
  VELKOR_TRY(check_output(out, rows * (model.dof_count() + base.coordinates()), name));
  const Model& bodies = model.moving();
  const Rigid total = place_bodies(bodies, q, w);
  const auto mc = mass_centre(total);
  if (!mc) return std::unexpected(mc.error());
  if (base.floating) base_columns(total, *mc);
  subtree_inertias(bodies, w);
  for (std::size_t k = 0; k < bodies.joint_count(); ++k)
    if (const auto dof = bodies.joint_dof[k])
      column(base.coordinates() + *dof, w.composite[k] * root_motion_axis(bodies, k, w), *mc);
  return mc;
}

}  // namespace

std::expected<void, Error> center_of_mass_jacobian(const Model& model, const Base& base, Workspace& w,
                                                   std::span<const double> q, std::span<double> out,
                                                   Coordinates coordinates) {
  // a coupled model's: J_c G
  if (model.coupling && coordinates == Coordinates::Caller)
    return coupled_entry::center_of_mass_jacobian(model, base, w, q, out);
  const Pose& X = base.state.frame;
  const auto done = whole_body_columns(
      model, base, w, q, out, 3, "centre of mass Jacobian output",
      [&](std::size_t c, const Vec6& F, const MassCentre& mc) {  // ∂ċ/∂q̇_d = R_b f_d / m
        write3(X.rotate(Vec3(F.tail<3>())) / mc.m, out.data() + 3 * c);
      },
      [&](const Rigid&, const MassCentre& mc) {  // base: ω × (c_w − p_b), then v
        const Vec3 r = X.rotate(mc.c);
        for (int i = 0; i < 3; ++i) {
          write3(Vec3::Unit(i).cross(r), out.data() + 3 * i);
          write3(Vec3::Unit(i), out.data() + 3 * (3 + i));
        }
      });
  if (!done) return std::unexpected(done.error());
  return {};
}

std::expected<void, Error> centroidal_momentum_matrix(const Model& model, const Base& base, Workspace& w,
                                                      std::span<const double> q, std::span<double> out,
                                                      Coordinates coordinates) {
  // a coupled model's: A_G G
  if (model.coupling && coordinates == Coordinates::Caller)
    return coupled_entry::centroidal_momentum_matrix(model, base, w, q, out);
  const Pose& X = base.state.frame;
  const auto done = whole_body_columns(
      model, base, w, q, out, 6, "centroidal momentum matrix output",
      [&](std::size_t c, const Vec6& F, const MassCentre& mc) {  // (R_b (n − c × f), R_b f)
        const Vec3 f = F.tail<3>();
        write3(X.rotate(Vec3(F.head<3>()) - mc.c.cross(f)), out.data() + 6 * c);
        write3(X.rotate(f), out.data() + 6 * c + 3);
      },
      [&](const Rigid& total, const MassCentre& mc) {
        // about the centre: I_G = I_O − m (|c|² E − c cᵀ); world I_G,w = R_b I_G R_bᵀ
        const Mat3 I_G = total.I -
                         mc.m * (mc.c.squaredNorm() * Mat3::Identity() - mc.c * mc.c.transpose());
        const Mat3 R = X.rotation.toRotationMatrix();
        const Mat3 I_w = R * I_G * R.transpose();
        const Vec3 r = X.rotate(mc.c);
        for (int i = 0; i < 3; ++i) {
          write3(I_w.col(i), out.data() + 6 * i);  // ω_i: (I_G,w e_i, m e_i × r)
          write3(mc.m * Vec3::Unit(i).cross(r), out.data() + 6 * i + 3);
          write3(Vec3::Zero(), out.data() + 6 * (3 + i));  // v_i: (0, m e_i)
          write3(mc.m * Vec3::Unit(i), out.data() + 6 * (3 + i) + 3);
        }
      });
  if (!done) return std::unexpected(done.error());
  return {};
}

}  // namespace velkor
