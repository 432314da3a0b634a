#include "robot/model.hpp"

#include <cmath>
#include <deque>
#include <filesystem>
#include <limits>
#include <span>
#include <unordered_map>
#include <unordered_set>

#include "fault.hpp"
#include "finite.hpp"
#include "model/tree.hpp"
#include "urdf/reader.hpp"

namespace velkor {

std::atomic<std::uint64_t> NEXT_MODEL_ID{1};

std::uint64_t take_model_id() {
  const std::uint64_t id = NEXT_MODEL_ID.fetch_add(1, std::memory_order_relaxed);
  VELKOR_INVARIANT(id != 0, "robot model identifier overflow");
  return id;
}

std::expected<std::size_t, Error> Model::find_link(std::string_view link_name) const {
  for (std::size_t i = 0; i < links.size(); ++i)
    if (links[i].name == link_name) return i;
  return std::unexpected(errors::UnknownLink{std::string(link_name)});
}

std::expected<std::size_t, Error> Model::link_index(const LinkId& link) const {
  if (link.model_id != id || link.index >= links.size()) return std::unexpected(errors::InvalidLinkId{});
  return link.index;
}

namespace {

// Where a joint's problem lies: the joint, or its `child` element ("limit", "mimic", ...)
// when the file has one, and the attribute at fault.
SourcePlace joint_place(const urdf::Joint& j, std::string_view child = {}, std::size_t child_line = 0,
                        Label attribute = {}) {
  if (child.empty() || child_line == 0)
    return {"joint", j.name, j.line, child.empty() ? attribute : Label{}};
  return {"joint/" + std::string(child), j.name, child_line, attribute};
}

Error invalid_joint(const urdf::Joint& j, std::string_view what, SourcePlace place) {
  return errors::InvalidModel{"joint " + j.name + " " + std::string(what), std::move(place)};
}

// Unit axis from a URDF axis: scale by the largest component first so that tiny
// and huge axes normalise alike; an axis of length at most 1e-12 is invalid.
std::optional<Vec3> unit_axis(const urdf::Triple& a) {
  if (!all_finite(a)) return std::nullopt;
  const Vec3 axis(a[0], a[1], a[2]);
  const double m = axis.cwiseAbs().maxCoeff();
  if (m == 0.0) return std::nullopt;
  const Vec3 scaled = axis / m;
  const double s = scaled.norm();
  if (m <= 1e-12 / s) return std::nullopt;
  return Vec3(scaled / s);
}

// The fixed name of a joint type the model does not take.
Label unsupported_type_name(urdf::JointType type) {
  switch (type) {
    case urdf::JointType::Floating: return "floating";
    case urdf::JointType::Planar: return "planar";
    default: return "spherical";
  }
}

bool is_scalar(urdf::JointType type) {
  return type == urdf::JointType::Revolute || type == urdf::JointType::Continuous ||
         type == urdf::JointType::Prismatic;
}

using JointIndex = std::unordered_map<std::string_view, std::size_t>;

// What a joint's <mimic> element couples: nothing (no element, or a joint that
// cannot follow a scalar leader: a fixed one stays fixed, and floating, planar
// and spherical ones are refused for their type), the file position of its
// leader, or why the coupling makes no sense.
using MimicCoupling = std::optional<std::expected<std::size_t, Error>>;

// The couplings of every joint of the file, by file position. A leader is found
// by name wherever it stands in the file, and must be a revolute, continuous or
// prismatic joint other than the mimic joint itself. A leader may mimic another
// joint in turn; such a chain must end at a joint that mimics nothing, so every
// joint on a cycle of mimics is refused. Linear in the number of joints.
std::vector<MimicCoupling> mimic_couplings(const urdf::Robot& robot, const JointIndex& joint_by_name) {
  const std::size_t J = robot.joints.size();
  std::vector<MimicCoupling> couplings(J);
  constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
  std::vector<std::size_t> next(J, none);  // the leader each valid coupling points to
  for (std::size_t k = 0; k < J; ++k) {
    const urdf::Joint& j = robot.joints[k];
    if (!j.mimic) continue;
    const urdf::Mimic& m = *j.mimic;
    const auto fail = [&](Error error) { couplings[k] = std::unexpected(std::move(error)); };
    const auto at = [&](Label attribute) { return joint_place(j, "mimic", j.lines.mimic, attribute); };
    if (!m.problem.empty()) {
      fail(errors::InvalidModel{m.problem, at(m.problem_attribute)});
    } else if (m.joint.empty()) {
      fail(invalid_joint(j, "has a mimic element without a joint attribute", at("joint")));
    } else if (!std::isfinite(m.multiplier) || !std::isfinite(m.offset)) {
      fail(invalid_joint(j, "mimic multiplier and offset must be finite",
                         at(std::isfinite(m.multiplier) ? "offset" : "multiplier")));
    } else if (!is_scalar(j.type)) {
      continue;
    } else if (const auto leader = joint_by_name.find(m.joint); leader == joint_by_name.end()) {
      fail(invalid_joint(j, "mimics joint " + m.joint + ", which does not exist", at("joint")));
    } else if (leader->second == k) {
      fail(invalid_joint(j, "mimics itself", at("joint")));
    } else if (const urdf::Joint& lead = robot.joints[leader->second]; !is_scalar(lead.type)) {
      fail(invalid_joint(j,
                         "mimics joint " + m.joint + ", a " + lead.type_name +
                             " joint; a leader must be revolute, continuous or prismatic",
                         at("joint")));
    } else {
      couplings[k] = leader->second;
      next[k] = leader->second;
    }
  }

  // Each joint has at most one leader: walk every chain once, and refuse the
  // joints of each cycle a walk closes.
  enum : unsigned char { unseen, on_walk, done };
  std::vector<unsigned char> state(J, unseen);
  std::vector<std::size_t> walk;
  for (std::size_t start = 0; start < J; ++start) {
    walk.clear();
    std::size_t k = start;
    for (; k != none && state[k] == unseen; k = next[k]) {
      state[k] = on_walk;
      walk.push_back(k);
    }
    if (k != none && state[k] == on_walk)
      for (std::size_t c = k;;) {
        const urdf::Joint& j = robot.joints[c];
        couplings[c] = std::unexpected(invalid_joint(
            j, "mimics joint " + j.mimic->joint + ", whose mimic chain leads back to " + j.name,
            joint_place(j, "mimic", j.lines.mimic, "joint")));
        if ((c = next[c]) == k) break;
      }
    for (std::size_t w : walk) state[w] = done;
  }
  return couplings;
}

// A mimic element is refused, or read as a loosened coupling that must make sense
// (`coupling`: the joint's entry of mimic_couplings).
std::expected<void, Error> check_mimic(const urdf::Joint& j, const ImportOptions& options,
                                       const MimicCoupling& coupling) {
  if (!j.mimic) return {};
  if (options.mimic == MimicPolicy::Reject)
    return std::unexpected(invalid_joint(
        j,
        "uses an unsupported mimic constraint (load with mimic=\"couple\" to make it follow its leader, "
        "or mimic=\"independent\" to treat it as a free joint)",
        joint_place(j, "mimic", j.lines.mimic)));
  if (coupling && !*coupling) return std::unexpected(coupling->error());
  return {};
}

std::expected<Joint, Error> robot_joint(const urdf::Joint& j, const ImportOptions& options,
                                        const MimicCoupling& coupling) {
  using urdf::JointType;
  VELKOR_TRY(check_mimic(j, options, coupling));
  if (!all_finite(j.origin.xyz) || !all_finite(j.origin.rpy))
    return std::unexpected(invalid_joint(
        j, "origin must contain only finite values",
        joint_place(j, "origin", j.lines.origin, all_finite(j.origin.xyz) ? "rpy" : "xyz")));

  Joint joint;
  joint.name = j.name;
  switch (j.type) {
    case JointType::Revolute:
    case JointType::Continuous:
    case JointType::Prismatic:
      if (!(std::isfinite(j.limit.velocity) && j.limit.velocity >= 0.0))
        return std::unexpected(invalid_joint(j, "velocity limit must be finite and non-negative",
                                             joint_place(j, "limit", j.lines.limit, "velocity")));
      if (j.type != JointType::Continuous &&
          !(std::isfinite(j.limit.lower) && std::isfinite(j.limit.upper) &&
            j.limit.lower <= j.limit.upper))
        return std::unexpected(invalid_joint(j, "position limits must be finite and ordered",
                                             joint_place(j, "limit", j.lines.limit,
                                                         !std::isfinite(j.limit.lower)   ? "lower"
                                                         : !std::isfinite(j.limit.upper) ? "upper"
                                                                                         : Label{})));
      joint.kinematics.kind = j.type == JointType::Prismatic ? JointKind::Prismatic
                                                             : JointKind::Revolute;
      break;
    case JointType::Fixed: joint.kinematics.kind = JointKind::Fixed; break;
    case JointType::Floating:
    case JointType::Planar:
    case JointType::Spherical:
      return std::unexpected(errors::UnsupportedJointType{j.name, unsupported_type_name(j.type),
                                                          joint_place(j, {}, 0, "type")});
  }

  joint.kinematics.origin.translation = Vec3(j.origin.xyz[0], j.origin.xyz[1], j.origin.xyz[2]);
  joint.kinematics.origin.rotation = rpy_quaternion(j.origin.rpy[0], j.origin.rpy[1], j.origin.rpy[2]);
  if (joint.kinematics.kind != JointKind::Fixed) {
    const auto axis = unit_axis(j.axis);
    if (!axis)
      return std::unexpected(
          errors::InvalidJointAxis{j.name, joint_place(j, "axis", j.lines.axis, "xyz")});
    joint.kinematics.axis = *axis;
  }
  if (j.type == JointType::Continuous) {
    joint.lower = -std::numeric_limits<double>::infinity();
    joint.upper = std::numeric_limits<double>::infinity();
  } else {
    joint.lower = j.limit.lower;
    joint.upper = j.limit.upper;
  }
  joint.velocity_limit = j.limit.velocity;
  joint.effort_limit = j.limit.effort;
  joint.type = j.type_name;
  return joint;
}

// Mass properties of several links in one body frame: m = Σ m_i, c = Σ m_i c_i / m
// (c_i = X_i c_i, the centre of mass in body axes), and about c
// I = Σ R_i I_i R_iᵀ + m_i (|d_i|² E − d_i d_iᵀ) with d_i = c_i − c.
MassProperties combined(const Model& model, std::span<const std::size_t> links) {
  if (links.size() == 1 && model.link_in_body[links[0]].is_identity())
    return model.link_mass_properties[links[0]];
  double m = 0.0;
  Vec3 h = Vec3::Zero();
  for (std::size_t l : links) {
    const MassProperties& p = model.link_mass_properties[l];
    m += p.mass;
    h += p.mass * model.link_in_body[l].transform_point(p.center_of_mass);
  }
  const Vec3 c = m > 0.0 ? Vec3(h / m) : Vec3::Zero();
  Mat3 I = Mat3::Zero();
  for (std::size_t l : links) {
    const MassProperties& p = model.link_mass_properties[l];
    const Pose& X = model.link_in_body[l];
    const Mat3 R = X.rotation.toRotationMatrix();
    const Vec3 d = X.transform_point(p.center_of_mass) - c;
    I += R * p.inertia_com * R.transpose() +
         p.mass * (d.squaredNorm() * Mat3::Identity() - d * d.transpose());
  }
  return MassProperties::from_com_inertia(m, c, 0.5 * (I + I.transpose()));
}

// Merges the links joined by fixed joints into their moving ancestor's body
// (see Model::bodies). Links come after their parents, so one pass places each.
// The coupling of a model whose mimic joints follow their leaders: each DOF's
// free coordinate, multiplier and offset, chains composed (q_j = m_j·q_l + o_j
// with q_l = m_l·q_f + o_l gives m_j·m_l and m_j·o_l + o_j). Cycles and missing
// leaders were refused on import. Also the most groups open at once in a
// subtree of the moving bodies (body d + 1 below DOF d, children after parents).
// A chain whose composed multiplier or offset overflows is refused, naming its joint.
std::expected<std::shared_ptr<const Coupling>, Error> coupling_of(const Model& model,
                                                                  const urdf::Robot& robot,
                                                                  const JointIndex& joint_by_name) {
  const std::size_t n = model.dof_count();
  std::unordered_map<std::string_view, std::size_t> dof_by_name;
  for (std::size_t d = 0; d < n; ++d) dof_by_name.emplace(model.joints[model.dof_list[d]].name, d);
  constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
  std::vector<std::size_t> leader(n, none);
  std::vector<double> m(n, 1.0), o(n, 0.0);
  for (const MimicJoint& mimic : model.mimic_joints) {
    const std::size_t d = dof_by_name.at(mimic.joint);
    leader[d] = dof_by_name.at(mimic.leader);
    m[d] = mimic.multiplier;
    o[d] = mimic.offset;
  }
  auto coupling = std::make_shared<Coupling>();
  coupling->group.assign(n, none);
  coupling->multiplier.assign(n, 1.0);
  coupling->offset.assign(n, 0.0);
  for (std::size_t d = 0; d < n; ++d)
    if (leader[d] == none) {
      coupling->group[d] = coupling->free_dof.size();
      coupling->free_dof.push_back(d);
    }
  // Each DOF resolved once, after its leader (a chain is walked up to the first
  // DOF already resolved, then composed on the way back down): linear in n.
  std::vector<unsigned char> resolved(n, 0);
  std::vector<std::size_t> pending;
  for (std::size_t d = 0; d < n; ++d) {
    for (std::size_t at = d; !resolved[at]; at = leader[at]) {
      pending.push_back(at);
      if (leader[at] == none) break;
      VELKOR_INVARIANT(pending.size() <= n, "mimic chains end at a free joint");
    }
    for (; !pending.empty(); pending.pop_back()) {
      const std::size_t j = pending.back(), l = leader[j];
      resolved[j] = 1;
      if (l == none) continue;  // a free joint: its own group, 1 and 0
      // q_j = m_j·q_l + o_j and q_l = M_l·q_free + O_l
      coupling->group[j] = coupling->group[l];
      coupling->multiplier[j] = m[j] * coupling->multiplier[l];
      coupling->offset[j] = m[j] * coupling->offset[l] + o[j];
    }
  }
  for (std::size_t d = 0; d < n; ++d)
    if (!std::isfinite(coupling->multiplier[d]) || !std::isfinite(coupling->offset[d])) {
      const urdf::Joint& j = robot.joints[joint_by_name.at(model.joints[model.dof_list[d]].name)];
      return std::unexpected(invalid_joint(j,
                                           "follows a mimic chain whose multiplier or offset overflows",
                                           joint_place(j, "mimic", j.lines.mimic, "multiplier")));
    }
  coupling->members.assign(coupling->free_count(), 0);
  for (std::size_t d = 0; d < n; ++d) ++coupling->members[coupling->group[d]];
  // Groups open below each body: a group is open from its first DOF the inward
  // pass meets until the subtree holds all of its DOFs. Mirrors the coupled
  // forward dynamics' inward pass, which keeps a body's open groups in a block
  // of its scratch from the first group it takes until it hands them to its
  // parent: counts the blocks held at once. A body's map is emptied once merged.
  const Model& bodies = model.moving();
  std::vector<std::unordered_map<std::size_t, std::size_t>> seen(n + 1);  // per body: group -> DOFs
  std::vector<unsigned char> holds(n + 1, 0);  // per body: holds a block
  std::size_t held = 0;
  const auto take = [&](std::size_t body) {
    if (holds[body]) return;
    holds[body] = 1;
    coupling->open_blocks = std::max(coupling->open_blocks, ++held);
  };
  for (std::size_t d = n; d-- > 0;) {
    auto& below = seen[d + 1];
    // the classical step (a free DOF, nothing open below) keeps nothing
    if (!below.empty() || coupling->members[coupling->group[d]] != 1) take(d + 1);
    ++below[coupling->group[d]];
    coupling->most_open = std::max(coupling->most_open, below.size());
    std::erase_if(below,
                  [&](const auto& entry) { return entry.second == coupling->members[entry.first]; });
    const std::size_t p = bodies.parent[d];
    if (!below.empty()) take(p);
    auto& parent = seen[p];
    for (const auto& [group, count] : below) parent[group] += count;
    std::unordered_map<std::size_t, std::size_t>().swap(below);
    if (holds[d + 1]) --held;
  }
  coupling->most_open = std::max(coupling->most_open, seen[0].size());  // closed at the root
  return std::shared_ptr<const Coupling>(std::move(coupling));
}

// The <visual> and <collision> elements of every link, in link order; a
// visual without a colour of its own takes its named material's.
void add_shapes(const urdf::Robot& robot, const std::vector<std::size_t>& urdf_link_of, Model& model) {
  // Named colours: the top-level materials', then those a visual defines with a
  // name and a colour (the first of a name wins), which other visuals may name.
  std::unordered_map<std::string_view, std::optional<std::array<double, 4>>> materials;
  for (const urdf::Material& m : robot.materials) materials.emplace(m.name, m.color);
  for (const urdf::Link& link : robot.links)
    for (const urdf::Shape& s : link.visuals)
      if (!s.material.empty() && s.color) materials.emplace(s.material, s.color);
  const auto convert = [&](const urdf::Shape& s, std::size_t link, bool visual) {
    LinkShape shape;
    shape.link = link;
    shape.origin.translation = Vec3(s.origin.xyz[0], s.origin.xyz[1], s.origin.xyz[2]);
    shape.origin.rotation = rpy_quaternion(s.origin.rpy[0], s.origin.rpy[1], s.origin.rpy[2]);
    const urdf::Geometry& g = s.geometry;
    switch (g.kind) {
      case urdf::GeometryKind::Box:
        shape.kind = ShapeKind::Box;
        shape.size = g.size;
        break;
      case urdf::GeometryKind::Cylinder:
        shape.kind = ShapeKind::Cylinder;
        shape.size = {g.radius, g.length, 0.0};
        break;
      case urdf::GeometryKind::Sphere:
        shape.kind = ShapeKind::Sphere;
        shape.size = {g.radius, 0.0, 0.0};
        break;
      case urdf::GeometryKind::Mesh:
        shape.kind = ShapeKind::Mesh;
        shape.filename = g.filename;
        shape.scale = g.scale;
        break;
      case urdf::GeometryKind::Capsule:
        shape.kind = ShapeKind::Capsule;
        shape.size = {g.radius, g.length, 0.0};
        break;
      case urdf::GeometryKind::Plane:
        shape.kind = ShapeKind::Plane;
        shape.size = g.normal;
        break;
    }
    shape.name = s.name;
    if (visual) {
      shape.material = s.material;
      shape.color = s.color;
      if (!shape.color && !s.material.empty())
        if (const auto found = materials.find(s.material); found != materials.end())
          shape.color = found->second;
    }
    return shape;
  };
  for (std::size_t i = 0; i < urdf_link_of.size(); ++i) {
    const urdf::Link& link = robot.links[urdf_link_of[i]];
    for (const urdf::Shape& s : link.visuals) model.visuals.push_back(convert(s, i, true));
    for (const urdf::Shape& s : link.collisions) model.collisions.push_back(convert(s, i, false));
    for (const urdf::SkippedShape& s : link.skipped)
      model.skipped_shapes.push_back(SkippedShape{i, s.visual, s.index, s.reason});
  }
}

// The kernels' tables of a model whose joints, links and mass properties are set.
void add_kernel_tables(Model& model) {
  const std::size_t J = model.joint_count(), L = model.link_count();
  model.joint_forms.clear();
  model.link_mass_parameters.clear();
  for (const JointKinematics& joint : model.joint_kinematics)
    model.joint_forms.push_back(JointForm::of(joint));
  for (const MassProperties& p : model.link_mass_properties)
    model.link_mass_parameters.push_back(MassParameters::of(p));
  model.subtree_mass.assign(L, 0.0);
  model.gravity_moment.assign(L, Vec3::Zero());
  for (std::size_t l = 0; l < L; ++l) {
    model.subtree_mass[l] = model.link_mass_properties[l].mass;
    model.gravity_moment[l] = model.link_mass_properties[l].first_moment;
  }
  for (std::size_t k = J; k-- > 0;) {  // children after their parents
    const std::size_t child = Model::child_link(k), p = model.parent[k];
    model.subtree_mass[p] += model.subtree_mass[child];
    model.gravity_moment[p] += model.subtree_mass[child] * model.joint_kinematics[k].origin.translation;
  }
}

void merge_fixed_joints(Model& model) {
  const std::size_t L = model.link_count(), n = model.dof_count();
  model.link_body.assign(L, 0);
  model.link_in_body.assign(L, Pose::identity());
  for (std::size_t k = 0; k < model.joint_count(); ++k) {
    const std::size_t child = Model::child_link(k), p = model.parent[k];
    if (const auto dof = model.joint_dof[k]) {
      model.link_body[child] = *dof + 1;
    } else {
      model.link_body[child] = model.link_body[p];
      model.link_in_body[child] = model.link_in_body[p].compose(model.joint_kinematics[k].origin);
    }
  }
  if (n == model.joint_count()) return;

  // Links of each body, in link order.
  std::vector<std::size_t> order(L), first(n + 2, 0);
  for (std::size_t l = 0; l < L; ++l) ++first[model.link_body[l] + 1];
  for (std::size_t b = 0; b <= n; ++b) first[b + 1] += first[b];
  std::vector<std::size_t> next(first.begin(), first.end() - 1);
  for (std::size_t l = 0; l < L; ++l) order[next[model.link_body[l]]++] = l;

  auto bodies = std::make_shared<Model>();
  bodies->name = model.name;
  bodies->id = model.id;
  bodies->links.reserve(n + 1);
  bodies->links.push_back(Link{model.links[0].name, {}});
  for (std::size_t d = 0; d < n; ++d) {
    const std::size_t k = model.dof_list[d], p = model.parent[k];
    Joint joint = model.joints[k];
    joint.kinematics.origin = model.link_in_body[p].compose(joint.kinematics.origin);
    bodies->joints.push_back(joint);
    bodies->joint_kinematics.push_back(joint.kinematics);
    bodies->joint_placements.push_back(JointPlacement::of(joint.kinematics));
    bodies->links.push_back(Link{model.links[Model::child_link(k)].name, {}});
    bodies->parent.push_back(model.link_body[p]);
    bodies->joint_dof.push_back(d);
    bodies->dof_list.push_back(d);
    const std::size_t parent_body = model.link_body[p];
    bodies->dof_parent.push_back(parent_body == 0 ? std::nullopt
                                                  : std::optional<std::size_t>(parent_body - 1));
  }
  for (std::size_t b = 0; b <= n; ++b) {
    bodies->links[b].mass_properties =
        combined(model, std::span<const std::size_t>(order).subspan(first[b], first[b + 1] - first[b]));
    bodies->link_mass_properties.push_back(bodies->links[b].mass_properties);
  }
  add_kernel_tables(*bodies);
  bodies->link_body.resize(n + 1);
  for (std::size_t b = 0; b <= n; ++b) bodies->link_body[b] = b;
  bodies->link_in_body.assign(n + 1, Pose::identity());
  model.bodies = std::move(bodies);
}

}  // namespace

std::expected<RobotModel, Error> RobotModel::from_urdf(const std::string& path) {
  Interrupt never;
  return from_urdf(path, never);
}

std::expected<RobotModel, Error> RobotModel::from_urdf(const std::string& path, Interrupt& interrupt,
                                                       const ImportOptions& options) {
  auto text = urdf::read_text(path, interrupt);
  if (!text) {
    if (text.error().interrupted) return std::unexpected(errors::Interrupted{});
    return std::unexpected(errors::Urdf{std::move(text.error().message), {}});
  }
  if (interrupt.poll()) return std::unexpected(errors::Interrupted{});
  auto robot = urdf::parse(*text);
  if (!robot) return std::unexpected(std::move(robot.error()));
  if (interrupt.poll()) return std::unexpected(errors::Interrupted{});
  std::error_code ignored;  // a path that cannot be made absolute stays as given
  const std::filesystem::path absolute = std::filesystem::absolute(path, ignored).lexically_normal();
  return from_description(*robot, options, *text, absolute.empty() ? path : absolute.string());
}

std::expected<RobotModel, Error> RobotModel::from_urdf_string(std::string_view text,
                                                              Interrupt& interrupt,
                                                              const ImportOptions& options) {
  auto robot = urdf::parse(text);
  if (!robot) return std::unexpected(std::move(robot.error()));
  if (interrupt.poll()) return std::unexpected(errors::Interrupted{});
  return from_description(*robot, options, text);
}

std::expected<RobotModel, Error> RobotModel::from_description(const urdf::Robot& robot,
                                                              const ImportOptions& options,
                                                              std::string_view source,
                                                              std::string_view path) {
  const std::size_t link_total = robot.links.size();
  const std::size_t joint_total = robot.joints.size();

  // Names: link position by name; joint names only need to be unique.
  std::unordered_map<std::string_view, std::size_t> link_by_name;
  link_by_name.reserve(link_total);
  for (std::size_t i = 0; i < link_total; ++i)
    if (!link_by_name.emplace(robot.links[i].name, i).second)
      return std::unexpected(
          errors::InvalidModel{"link names must be unique",
                               SourcePlace{"link", robot.links[i].name, robot.links[i].line, "name"}});

  // Edges: per URDF link its (child link, joint) pairs in file order.
  struct Edge {
    std::size_t child;
    std::size_t joint;
  };
  JointIndex joint_by_name;
  joint_by_name.reserve(joint_total);
  std::vector<bool> has_parent(link_total, false);
  std::vector<std::vector<Edge>> edges(link_total);
  for (std::size_t j = 0; j < joint_total; ++j) {
    const urdf::Joint& joint = robot.joints[j];
    if (!joint_by_name.emplace(joint.name, j).second)
      return std::unexpected(errors::InvalidModel{"joint names must be unique",
                                                  SourcePlace{"joint", joint.name, joint.line, "name"}});
    const auto parent = link_by_name.find(joint.parent);
    if (parent == link_by_name.end())
      return std::unexpected(invalid_joint(joint, "references a missing parent link",
                                           joint_place(joint, "parent", joint.lines.parent, "link")));
    const auto child = link_by_name.find(joint.child);
    if (child == link_by_name.end())
      return std::unexpected(invalid_joint(joint, "references a missing child link",
                                           joint_place(joint, "child", joint.lines.child, "link")));
    if (has_parent[child->second])
      return std::unexpected(
          errors::InvalidModel{"link " + joint.child + " is reached more than once",
                               joint_place(joint, "child", joint.lines.child, "link")});
    has_parent[child->second] = true;
    edges[parent->second].push_back({child->second, j});
  }

  std::size_t root_count = 0;
  std::size_t root = 0, second_root = 0;
  for (std::size_t i = 0; i < link_total; ++i) {
    if (!has_parent[i]) {
      if (root_count == 0) root = i;
      if (root_count == 1) second_root = i;
      ++root_count;
    }
  }
  if (root_count != 1) {
    // Placed at the second root, else (every link a child) at the first joint, else at <robot>.
    SourcePlace place{"robot", robot.name, robot.line, {}};
    if (root_count > 1)
      place = {"link", robot.links[second_root].name, robot.links[second_root].line, {}};
    else if (joint_total > 0) place = {"joint", robot.joints[0].name, robot.joints[0].line, {}};
    return std::unexpected(errors::InvalidModel{
        "expected one root link, found " + std::to_string(root_count), std::move(place)});
  }

  // Breadth-first numbering: the queue position of a URDF link is its new index.
  auto model = std::make_shared<Model>();
  model->name = robot.name;
  model->links.reserve(link_total);
  model->joints.reserve(joint_total);
  model->parent.reserve(joint_total);
  std::vector<std::size_t> queue;
  queue.reserve(link_total);

  // Mimic couplings are judged over the whole file, and reported with their joint.
  std::vector<MimicCoupling> couplings;
  if (options.mimic != MimicPolicy::Reject) couplings = mimic_couplings(robot, joint_by_name);
  const MimicCoupling uncoupled;

  // Inertias are measured against the largest moment of the whole file, which
  // only a tolerance needs; without one the rule is exact.
  VELKOR_INVARIANT(
      options.inertia_tolerance >= 0.0 && options.inertia_tolerance <= max_inertia_tolerance,
      "inertia tolerance outside [0, max_inertia_tolerance]");
  InertiaAllowance allowance;
  if (options.inertia_tolerance > 0.0)
    allowance = {options.inertia_tolerance, inertia_scale(robot.links)};

  auto root_link = robot_link(robot.links[root], allowance, model->inertia_repairs);
  if (!root_link) return std::unexpected(std::move(root_link.error()));
  model->links.push_back(std::move(*root_link));
  queue.push_back(root);
  for (std::size_t front = 0; front < queue.size(); ++front) {
    for (const Edge& edge : edges[queue[front]]) {
      queue.push_back(edge.child);
      auto link = robot_link(robot.links[edge.child], allowance, model->inertia_repairs);
      if (!link) return std::unexpected(std::move(link.error()));
      model->links.push_back(std::move(*link));
      auto joint = robot_joint(robot.joints[edge.joint], options,
                               couplings.empty() ? uncoupled : couplings[edge.joint]);
      if (!joint) return std::unexpected(std::move(joint.error()));
      model->joints.push_back(std::move(*joint));
      model->parent.push_back(front);
    }
  }
  if (model->joints.size() != joint_total || model->links.size() != link_total) {
    // Placed at the first link of the file the root does not reach.
    std::vector<bool> reached(link_total, false);
    for (std::size_t l : queue) reached[l] = true;
    std::size_t first = 0;
    while (first + 1 < link_total && reached[first]) ++first;
    const urdf::Link& cut_off = robot.links[first];
    return std::unexpected(errors::InvalidModel{"joint graph is disconnected or cyclic",
                                                SourcePlace{"link", cut_off.name, cut_off.line, {}}});
  }

  model->id = take_model_id();
  add_shapes(robot, queue, *model);

  const std::size_t J = model->joints.size();
  std::size_t dof_total = 0;
  for (const Joint& joint : model->joints) dof_total += joint.kinematics.kind != JointKind::Fixed;
  model->joint_kinematics.reserve(J);
  model->joint_dof.reserve(J);
  model->dof_list.reserve(dof_total);
  for (std::size_t k = 0; k < J; ++k) {
    const JointKinematics& kinematics = model->joints[k].kinematics;
    model->joint_kinematics.push_back(kinematics);
    model->joint_placements.push_back(JointPlacement::of(kinematics));
    if (kinematics.kind == JointKind::Fixed) {
      model->joint_dof.push_back(std::nullopt);
    } else {
      model->joint_dof.push_back(model->dof_list.size());
      model->dof_list.push_back(k);
    }
  }
  // Nearest ancestor DOF: up the tree from the joint's parent link to the first
  // moving joint, kept per link (parents come first) so no path is walked twice.
  std::vector<std::optional<std::size_t>> dof_at_or_above(model->links.size());  // per link
  for (std::size_t k = 0; k < J; ++k)
    dof_at_or_above[Model::child_link(k)] = model->joint_dof[k] ? model->joint_dof[k]
                                                                : dof_at_or_above[model->parent[k]];
  model->dof_parent.reserve(dof_total);
  for (std::size_t k : model->dof_list) model->dof_parent.push_back(dof_at_or_above[model->parent[k]]);
  model->link_mass_properties.reserve(model->links.size());
  for (const Link& link : model->links) model->link_mass_properties.push_back(link.mass_properties);

  // Loosened mimic couplings of the joints that became DOFs (a fixed joint's
  // mimic element couples nothing). Each leader is a moving joint of the file.
  for (std::size_t k : model->dof_list) {
    const urdf::Joint& joint = robot.joints[joint_by_name.at(model->joints[k].name)];
    if (!joint.mimic) continue;
    const urdf::Mimic& m = *joint.mimic;
    model->mimic_joints.push_back({joint.name, m.joint, m.multiplier, m.offset});
  }
  add_kernel_tables(*model);
  merge_fixed_joints(*model);
  if (options.mimic == MimicPolicy::Couple && !model->mimic_joints.empty()) {
    auto coupling = coupling_of(*model, robot, joint_by_name);
    if (!coupling) return std::unexpected(coupling.error());
    model->coupling = *std::move(coupling);
  }
  model->source = std::string(source);
  model->path = std::string(path);
  model->options = options;
  return RobotModel(std::move(model));
}

}  // namespace velkor
