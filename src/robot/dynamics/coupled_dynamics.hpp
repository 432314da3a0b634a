// Forward dynamics of models whose mimic joints follow their leaders
// (MimicPolicy::Couple, Model::coupling).
#pragma once

#include <expected>
#include <span>

#include "error.hpp"
#include "robot/base.hpp"
#include "robot/loads.hpp"
#include "robot/model.hpp"
#include "robot/workspace.hpp"

namespace velkor {

// Forward dynamics of a model whose mimic joints follow their leaders
// (model.coupling): q̈ of the free coordinates (base.coordinates() + free count
// values, the base's first as forward_dynamics writes them) under generalized
// forces of that layout, at the full positions and rates q_full = G q + b,
// q̇_full = G q̇ (model.dof_count() values each).
//
// The articulated-body recursion with each group of coupled DOFs eliminated
// as one coordinate once the inward pass holds all of its DOFs. A subtree's
// transmitted force is f = I^A a + p^A + Σ_γ V_γ q̈_γ over the groups still
// open in it, with their equations Σ D_γγ' q̈_γ' + V_γᵀ a = u_γ (the same
// columns, by symmetry). DOF k (s = g_k S_k of group x) substitutes
// a = a_p + c_k + s q̈_x; a complete group is eliminated by its Schur
// complement; subtrees add at their parent. A group of one DOF is the classical
// step. Exact: the result solves (Gᵀ M G) q̈ = τ − Gᵀ b(q_full, q̇_full).
// Cost: O(n·(1 + o²)) for o the most groups open at once (0 to 2 for grippers
// and hands). Its first call on a workspace sizes the open groups' blocks
// (O(b·o²) for b the bodies that hold open groups at once, Coupling::open_blocks)
// and allocates; later calls allocate nothing.
std::expected<void, Error> coupled_forward_dynamics(const Model& model, const Base& base,
                                                    Workspace& workspace, std::span<const double> q_full,
                                                    std::span<const double> qd_full,
                                                    std::span<const double> forces,
                                                    std::span<const IndexedLoad> loads,
                                                    std::span<double> out);

// forward_dynamics_derivatives of a coupled model: ∂q̈/∂q, ∂q̈/∂q̇ and M⁻¹ over
// the free coordinates (N_free x N_free each, column-major), at the full
// positions and rates as coupled_forward_dynamics takes them. They are
// −M⁻¹ Gᵀ(∂τ_full/∂q_full)G and −M⁻¹ Gᵀ(∂τ_full/∂q̇_full)G at q̈_full = G q̈,
// with M = Gᵀ M_full G.
// Cost: the coupled forward dynamics, the full inverse-dynamics derivatives
// and mass matrix (O(N·d)), their contraction (O(N²)) and a dense factor and
// inverse of M (O(N_free³)). Its first call on a workspace sizes the three
// full N x N squares it works in and allocates; later calls allocate nothing.
std::expected<void, Error> coupled_forward_dynamics_derivatives(
    const Model& model, const Base& base, Workspace& workspace, std::span<const double> q_full,
    std::span<const double> qd_full, std::span<const double> forces, std::span<const IndexedLoad> loads,
    std::span<double> d_q, std::span<double> d_qd, std::span<double> inverse_mass);

}  // namespace velkor
