// Per-handle scratch memory, sized once from the joint count J and the DOF
// count n (the constraint scratch: by the largest constraint set used), so that
// computing calls allocate nothing. Each row holds one quantity, named for it;
// algorithms that need the same quantity share its row, and every algorithm
// writes an entry before reading it. What one call hands to the next (the mass
// matrix's axes to the constraint rows, the full coordinates to the
// derivatives) the caller passes as an argument.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "spatial.hpp"
#include "spatial_algebra.hpp"

namespace velkor {

// The coupled forward dynamics' scratch (see coupled_articulated_body): per
// body b (0 the root, d + 1 below DOF d) its open groups, up to `capacity` of
// them, in a block taken when the body opens its first group and given back
// once its parent has them (Coupling::open_blocks blocks: slot i of block k
// at k·capacity + i); then the eliminations in order, and the groups'
// accelerations. The per-DOF rows are sized by reserve_coupled_scratch, the
// forward dynamics' blocks and records by its first call, the squares by the
// first derivatives call.
struct CoupledScratch {
  static constexpr std::size_t no_block = static_cast<std::size_t>(-1);  // open_block: none
  std::size_t capacity = 0;
  std::vector<std::size_t> open_count;        // per body
  std::vector<std::size_t> open_block;        // per body: its block, or none
  std::vector<std::size_t> free_blocks;       // a stack of the blocks no body holds
  std::size_t free_top = 0;                   // how many of them are free
  std::vector<std::size_t> open_group;        // per slot: the free coordinate
  std::vector<std::size_t> open_seen;         // per slot: its DOFs seen below
  std::vector<Vec6> open_V;                   // per slot: its force column
  std::vector<double> open_u;                 // per slot
  std::vector<double> open_bound;             // per slot: the size of the terms in D_xx
  std::vector<double> open_D;                 // per block: capacity² couplings D_ij
  std::vector<std::size_t> record_joint;      // per elimination: the DOF it followed (n: the root)
  std::vector<std::size_t> record_group;
  std::vector<Vec6> record_V;
  std::vector<double> record_u, record_D;
  std::vector<std::size_t> record_rows;       // per elimination: how many row entries
  std::vector<std::size_t> record_row_group;  // per elimination: capacity entries
  std::vector<double> record_row_value;
  std::vector<double> group_qdd;              // per free coordinate
  std::vector<std::size_t> merge_map;         // per slot: a child's slot in its parent
  std::vector<unsigned char> classical;       // per DOF: took the classical step (a free DOF
                                         // with no group open below it)
  // Callers that compute in the free coordinates around full-coordinate kernels
  // (the derivatives, rollouts, inverse kinematics):
  std::vector<double> positions;  // per DOF: q_full (full_coordinates)
  std::vector<double> rates;  // per DOF: q̇_full (full_coordinates)
  std::vector<double> accelerations;  // per DOF: q̈_full (the derivatives)
  std::vector<double> squares;  // three full N x N matrices, then N x N_free columns
  std::vector<double> results;  // an entry point's full results, then N x N_free columns
  std::vector<double> jacobian;  // 6 x free count: a Jacobian's free columns
  std::vector<std::ptrdiff_t> chain;  // per free coordinate (with a free base's 6): the one before
};

struct Workspace {
  Workspace(std::size_t joint_count, std::size_t dof_count);

  // Per joint (J rows); row k belongs to joint k and its child link k + 1.
  std::vector<Pose> frames;  // X_k: link k+1 in its parent link (root link for FK paths
                             // and Jacobians: root from link k+1; forward dynamics and
                             // the mass matrix keep only its origin in root coordinates)
  std::vector<Vec3> angular_velocity;  // ω_k, link k+1 axes (inverse dynamics)
  std::vector<Vec3> angular_acceleration;  // ω̇_k, link k+1 axes; gravity g_k in the gravity kernel
  std::vector<Vec3> origin_acceleration;  // a_o,k: classical acceleration of link k+1's origin, its axes
  std::vector<Vec3> link_acceleration;  // a_c,k: classical acceleration of link k+1's centre of mass
  std::vector<Vec6> loads;  // (n, f): folded external loads, then joint wrenches, link axes
  std::vector<Rigid> composite;  // (m, h, I_o) of body k+1, then of the subtree below joint k,
                                 // root axes about the root origin (derivatives)
  std::vector<RigidParameters> composite_parameters;  // ten numbers about p_k (mass matrix)
  std::vector<Vec6> composite_forces;  // F_k = I_c S_k, about the root origin (mass matrix)
  std::vector<Mat3> rotations;  // R_k: link k+1's axes in root axes (forward dynamics,
                                // mass matrix; its origin goes to frames[k].translation);
                                // the gravity kernel: joint k's R_J about an oblique axis
  std::vector<std::array<double, 2>> turns;  // (sin q, cos q) of joint k (gravity kernel)
  std::vector<Vec6> fd_velocity;  // v_k: spatial velocity of link k+1 (forward dynamics; the
                                  // forward-dynamics rows are in root axes, about each body's
                                  // origin in its passes, about the root origin where
                                  // forward_dynamics_root_load leaves v_k and a_k)
  std::vector<Vec6> fd_bias_acceleration;  // c_k = v_k × S q̇: velocity-product acceleration
  std::vector<Vec6> fd_bias_force;  // p^A_k: articulated bias force
  std::vector<Mat6> fd_inertia;  // I^A_k: articulated inertia
  std::vector<Vec6> fd_U;  // U_k = I^A_k S_k
  std::vector<Vec6> fd_acceleration;  // a_k: spatial acceleration of link k+1
  std::vector<double> fd_D;  // 1/D_k, D_k = S_kᵀ U_k (forward dynamics keeps the inverse)
  std::vector<double> fd_u;  // u_k = τ_k − S_kᵀ p^A_k
  std::vector<Vec6> joint_axes;  // S_k: joint k's motion axis, root axes about the root origin, as the
                                 // mass matrix places it (its model's joints are its DOFs)
  std::vector<Vec3> fd_offset;  // r_k: link k+1's origin from its parent's, root axes (forward
                                // dynamics and mass matrix, which work about each body's origin)
  std::vector<Vec3> linear_velocity;  // origin velocity of link k+1, root axes (Jacobian derivative)
  std::vector<Mat3> inertia_rate;  // B_ω of the subtree below joint k (derivatives)
  std::vector<Vec3> linear_momentum;  // l of that subtree, root axes (derivatives)
  // Per DOF.
  std::vector<Vec6> motion_axes;  // S_d: DOF d's motion axis, root axes; about the root origin
                                  // where a pass leaves it (forward dynamics: about its body's
                                  // origin until its passes end), read by the constraint rows
                                  // and the derivatives' inward passes
  std::vector<Vec6> axis_rates;  // Ψ_d = v_parent × S_d (the derivatives)
  std::vector<Vec6> axis_accelerations;  // A_d = a_parent × S_d + v_parent × Ψ_d (the derivatives;
                                         // the gravity derivatives': (0, g_0 × ω_d), S_d = (ω_d, ·))
  std::vector<double> jacobian;  // 6·n, column-major, root axes (Jacobian and IK kernels)
  std::vector<double> jacobian_derivative;  // 6·n, column-major, root axes
  std::vector<double> ik_joints;  // x: the IK iterate ("IK joint workspace")
  std::vector<double> ik_step;  // Δx of an IK step; zero accelerations for velocity products
  // Per generalized coordinate (n + 6): the derivatives' scratch rows.
  std::vector<double> generalized_a;
  std::vector<double> generalized_b;
  std::vector<std::ptrdiff_t> generalized_parent;  // nearest coordinate above, −1 at the top
  std::vector<std::size_t> support;  // the coordinates a constraint's rows depend on
  std::vector<Vec6> side_axes;  // 3 per coordinate: what the constraint derivatives
                                // keep of each coordinate above a constraint's body
  // Joints from a target link up to the root; never longer than J.
  std::vector<std::size_t> path;
  // Constrained dynamics: sized by the constraint rows m and N on first use,
  // grown (never shrunk) when a larger constraint set comes.
  std::vector<double> constraint_scratch;
  // Rollouts under constraints: the m forces of a step, grown like the scratch.
  std::vector<double> rollout_forces;
  CoupledScratch coupled;
};

}  // namespace velkor
