// A small URDF reader: turns the XML of a robot description into plain records
// with the URDF defaults filled in. It checks syntax and shape only (required
// attributes, numbers, known joint types); the meaning is checked by the model import.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "interrupt.hpp"

namespace velkor::urdf {

using Triple = std::array<double, 3>;

struct Origin {
  Triple xyz{0, 0, 0};
  Triple rpy{0, 0, 0};
};

struct Inertia {
  double ixx = 0, ixy = 0, ixz = 0, iyy = 0, iyz = 0, izz = 0;
};

struct Inertial {
  Origin origin;
  double mass = 0;
  Inertia inertia;
};

using Color = std::array<double, 4>;  // r, g, b, a

enum class GeometryKind { Box, Cylinder, Sphere, Mesh, Capsule, Plane };

struct Geometry {
  GeometryKind kind = GeometryKind::Box;
  Triple size{0, 0, 0};  // a box's edges
  double radius = 0;     // a cylinder's, a capsule's or a sphere's
  double length = 0;     // a cylinder's or a capsule's (between its caps' centres)
  std::string filename;  // a mesh's, as written
  Triple scale{1, 1, 1};  // a mesh's
  Triple normal{0, 0, 1};  // a plane's, scaled to unit length
};

// A <visual> or <collision> element of a link.
struct Shape {
  std::string name;  // empty when the element has none
  Origin origin;
  Geometry geometry;
  std::string material;         // a visual's <material name=...>, empty when none
  std::optional<Color> color;   // a visual's own <material><color rgba=...>
};

// A <visual> or <collision> element the reader could not read, left out of
// the link's shapes: a link's looks never stop its dynamics from loading.
struct SkippedShape {
  bool visual = true;     // a <visual>, else a <collision>
  std::size_t index = 0;  // among the link's elements of its kind, in file order
  std::string reason;     // what the element holds that the reader cannot read
};

// A 1-based source line; 0 where not known. Files are below 2^30 bytes (max_file_size).
using Line = std::uint32_t;

// Source lines of a link's elements; 0 where the element is absent.
struct LinkLines {
  Line inertial = 0, origin = 0, mass = 0, inertia = 0;  // origin: the <inertial>'s
};

struct Link {
  std::string name;
  Line line = 0;  // of the <link> element
  LinkLines lines;
  Inertial inertial;  // zeros when the link has no inertial element
  std::vector<Shape> visuals;     // in file order
  std::vector<Shape> collisions;  // in file order
  std::vector<SkippedShape> skipped;  // visuals first, each kind in file order
};

// A top-level <material name=...> and its colour, if it gives one.
struct Material {
  std::string name;
  std::optional<Color> color;
};

enum class JointType { Revolute, Continuous, Prismatic, Fixed, Floating, Planar, Spherical };

struct Limit {
  double lower = 0, upper = 0, velocity = 0;
  double effort = 0;  // NaN when the attribute is not a number
};

// <mimic joint=... multiplier=... offset=...>. Read without failing: whether a
// mimic element is an error at all is the import's decision.
struct Mimic {
  std::string joint;       // the leader; empty when the attribute is missing
  double multiplier = 1;
  double offset = 0;
  std::string problem;     // why an attribute could not be read; empty when fine
  Label problem_attribute;  // the attribute it names
};

// Source lines of a joint's elements; 0 where the element is absent.
struct JointLines {
  Line origin = 0, parent = 0, child = 0, axis = 0, limit = 0, mimic = 0;
};

struct Joint {
  std::string name;
  Line line = 0;  // of the <joint> element
  JointLines lines;
  JointType type = JointType::Fixed;
  std::string type_name;  // as written, lower case
  Origin origin;
  std::string parent;
  std::string child;
  Triple axis{1, 0, 0};
  Limit limit;
  std::optional<Mimic> mimic;
};

struct Robot {
  std::string name;
  Line line = 0;  // of the <robot> element
  std::vector<Link> links;    // in file order
  std::vector<Joint> joints;  // in file order
  std::vector<Material> materials;  // top-level, in file order
};

struct ReadFailure {
  std::string message;       // the reader's or the operating system's text
  bool interrupted = false;  // `interrupt` asked to stop during a wait; no message
};

// The whole file. A wait cut short by a signal (EINTR) polls `interrupt`, then
// resumes unless asked to stop; files that block (FIFOs, devices) are fine.
std::expected<std::string, ReadFailure> read_text(const std::string& path, Interrupt& interrupt);
// Failures are errors::Urdf with the reader's text and the place it points at.
std::expected<Robot, Error> parse(std::string_view text);

// Largest file the reader accepts; guards against endless or absurd inputs.
inline constexpr std::size_t max_file_size = std::size_t{1} << 30;

}  // namespace velkor::urdf
