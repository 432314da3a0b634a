#include "urdf/reader.hpp"

#include <fcntl.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <locale.h>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#if defined(__APPLE__)
#include <xlocale.h>  // strtod_l
#endif
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>
#include <unordered_set>

namespace velkor::urdf {
namespace {

using tinyxml2::XMLElement;

std::string os_error(int code) { return std::error_code(code, std::generic_category()).message(); }

// A path in single quotes as Python shows it in its own file errors, with
// quotes, backslashes and control bytes escaped so the message stays one line.
std::string quoted_path(std::string_view path) {
  std::string out = "'";
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\\' || c == '\'') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c == 0x7f) {
      static constexpr char hex[] = "0123456789abcdef";
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += ch;
    }
  }
  return out + "'";
}

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    const unsigned c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int extra;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) extra = 1;
    else if (c == 0xE0) {
      extra = 2;
      lo = 0xA0;
    } else if (c >= 0xE1 && c <= 0xEC) extra = 2;
    else if (c == 0xED) {
      extra = 2;
      hi = 0x9F;
    } else if (c >= 0xEE && c <= 0xEF) extra = 2;
    else if (c == 0xF0) {
      extra = 3;
      lo = 0x90;
    } else if (c >= 0xF1 && c <= 0xF3) extra = 3;
    else if (c == 0xF4) {
      extra = 3;
      hi = 0x8F;
    } else return false;
    if (end - p <= extra) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (int k = 2; k <= extra; ++k)
      if (p[k] < 0x80 || p[k] > 0xBF) return false;
    p += extra + 1;
  }
  return true;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// True when the prolog holds <!DOCTYPE ... [ ... ]>. Its declarations (entities
// among them) are never expanded; the parser would stop the DOCTYPE at its first
// '>' and then report the rest of the subset as stray content.
bool has_internal_subset(std::string_view text) {
  std::size_t at = 0;
  const auto skip = [&](std::string_view open, std::string_view close) {
    if (text.substr(at, open.size()) != open) return false;
    const std::size_t end = text.find(close, at + open.size());
    at = end == std::string_view::npos ? text.size() : end + close.size();
    return true;
  };
  if (text.substr(0, 3) == "\xEF\xBB\xBF") at = 3;
  while (true) {
    while (at < text.size() && is_space(text[at])) ++at;
    if (skip("<?", "?>") || skip("<!--", "-->")) continue;
    break;
  }
  if (text.substr(at, 9) != "<!DOCTYPE") return false;
  const std::size_t bracket = text.find('[', at);
  return bracket != std::string_view::npos && bracket < text.find('>', at);
}

// One number in C locale syntax; "nan" and "inf" are numbers too (the model rejects them).
bool parse_number(std::string_view token, double& out) {
  if (!token.empty() && token.front() == '+') {
    token.remove_prefix(1);
    if (!token.empty() && token.front() == '-') return false;
  }
  if (token.empty()) return false;
  static const locale_t c_locale = ::newlocale(LC_ALL_MASK, "C", locale_t{});
#if defined(__APPLE__)
  // Apple's C++ library reads doubles with from_chars only from macOS 26 on.
  // The C library reads a superset of from_chars' syntax: refuse what from_chars
  // would (leading space, hexadecimal), then take the C library's number.
  const char first = token.front();
  if (!(first == '-' || first == '.' || (first >= '0' && first <= '9') || first == 'i' || first == 'I' ||
        first == 'n' || first == 'N'))
    return false;
  if (token.find_first_of("xXpP") != std::string_view::npos && token.find('(') == std::string_view::npos)
    return false;
  const std::string copy(token);
  char* stop = nullptr;
  out = ::strtod_l(copy.c_str(), &stop, c_locale);
  return stop == copy.c_str() + copy.size();
#else
  const char* end = token.data() + token.size();
  const auto [ptr, ec] = std::from_chars(token.data(), end, out);
  if (ptr != end) return false;
  if (ec == std::errc::result_out_of_range) {
    // Overflow reads as infinity and underflow as zero, as the C library does.
    const std::string copy(token);
    out = ::strtod_l(copy.c_str(), nullptr, c_locale);
    return true;
  }
  return ec == std::errc();
#endif
}

// xacro input: macros and substitutions that only the xacro tool expands.
constexpr std::string_view expand_first =
    "expand it with xacro first (xacro robot.urdf.xacro > robot.urdf)";

bool is_xacro_substitution(std::string_view text) {
  return text.find("${") != std::string_view::npos || text.find("$(") != std::string_view::npos;
}

std::string unexpanded(const std::string& where, const char* attribute, const XMLElement& element,
                       const char* text) {
  return where + ": attribute '" + attribute + "' of <" + element.Name() +
         "> is an unexpanded xacro substitution: '" + text + "'; this is xacro input, " +
         std::string(expand_first);
}

// The first element of the xacro namespace (<xacro:macro>, <xacro:include>, ...), if any.
const XMLElement* xacro_element(const XMLElement* element) {
  for (; element != nullptr; element = element->NextSiblingElement()) {
    if (std::string_view(element->Name()).starts_with("xacro:")) return element;
    if (const XMLElement* inner = xacro_element(element->FirstChildElement())) return inner;
  }
  return nullptr;
}

// Reading context: names the element being read in every message.
class Reader {
 public:
  std::string error;

  bool fail(std::string message) {
    if (error.empty()) error = std::move(message);
    return false;
  }

  bool number_attribute(const XMLElement& element, const char* attribute, double& out,
                        const std::string& where, bool required) {
    const char* text = element.Attribute(attribute);
    if (text == nullptr) {
      if (!required) return true;
      return fail(where + ": <" + element.Name() + "> has no '" + attribute + "' attribute");
    }
    std::string_view token = text;
    while (!token.empty() && is_space(token.front())) token.remove_prefix(1);
    while (!token.empty() && is_space(token.back())) token.remove_suffix(1);
    if (!parse_number(token, out)) {
      if (is_xacro_substitution(text)) return fail(unexpanded(where, attribute, element, text));
      return fail(where + ": attribute '" + attribute + "' of <" + element.Name() +
                  "> is not a number: '" + text + "'");
    }
    return true;
  }

  // K numbers separated by spaces; a missing attribute keeps `out`.
  template <std::size_t K>
  bool numbers_attribute(const XMLElement& element, const char* attribute, std::array<double, K>& out,
                         const std::string& where) {
    static_assert(K == 3 || K == 4);
    const char* text = element.Attribute(attribute);
    if (text == nullptr) return true;  // keeps the default
    std::string_view rest = text;
    std::size_t count = 0;
    std::array<double, K> values{};
    while (true) {
      while (!rest.empty() && is_space(rest.front())) rest.remove_prefix(1);
      if (rest.empty()) break;
      std::size_t length = 0;
      while (length < rest.size() && !is_space(rest[length])) ++length;
      double value;
      if (count == K || !parse_number(rest.substr(0, length), value)) {
        if (is_xacro_substitution(text)) return fail(unexpanded(where, attribute, element, text));
        count = K + 1;
        break;
      }
      values[count++] = value;
      rest.remove_prefix(length);
    }
    if (count != K)
      return fail(where + ": attribute '" + attribute + "' of <" + element.Name() + "> must hold " +
                  (K == 3 ? "three" : "four") + " numbers: '" + text + "'");
    out = values;
    return true;
  }

  // Four numbers (an rgba colour), each from 0 to 1.
  bool color_attribute(const XMLElement& element, Color& out, const std::string& where) {
    const char* text = element.Attribute("rgba");
    if (text == nullptr) return fail(where + ": <color> has no 'rgba' attribute");
    Color values{};
    if (!numbers_attribute(element, "rgba", values, where)) return false;
    for (const double v : values)
      if (!(v >= 0.0 && v <= 1.0))
        return fail(where + ": attribute 'rgba' of <color> must hold numbers from 0 to 1: '" + text +
                    "'");
    out = values;
    return true;
  }

  // <material name=...> with an optional <color>; `named` requires the name.
  bool material(const XMLElement& element, std::string& name, std::optional<Color>& color,
                const std::string& where, bool named) {
    const char* text = element.Attribute("name");
    if (text != nullptr && is_xacro_substitution(text))
      return fail(unexpanded(where, "name", element, text));
    if (text != nullptr) name = text;
    else if (named) return fail("a top-level <material> element has no name");
    if (const XMLElement* c = element.FirstChildElement("color")) {
      Color rgba;
      if (!color_attribute(*c, rgba, where)) return false;
      color = rgba;
    }
    return true;
  }

  // A <visual> or <collision>: its origin, exactly one geometry, a visual's
  // material. A failure's message starts with `where` and ": ".
  bool shape(const XMLElement& element, Shape& out, const std::string& where) {
    if (const char* text = element.Attribute("name")) out.name = text;
    if (!origin(&element, out.origin, where)) return false;
    const XMLElement* geometry = element.FirstChildElement("geometry");
    if (geometry == nullptr) return fail(where + ": no <geometry> element");
    const XMLElement* g = geometry->FirstChildElement();
    if (g == nullptr) return fail(where + ": <geometry> holds no shape");
    if (g->NextSiblingElement() != nullptr)
      return fail(where + ": <geometry> holds more than one shape (<" + g->Name() + "> and <" +
                  g->NextSiblingElement()->Name() + ">)");
    Geometry& out_g = out.geometry;
    const std::string_view kind = g->Name();
    if (kind == "box") {
      out_g.kind = GeometryKind::Box;
      if (g->Attribute("size") == nullptr) return fail(where + ": <box> has no 'size' attribute");
      if (!numbers_attribute(*g, "size", out_g.size, where)) return false;
    } else if (kind == "cylinder" || kind == "capsule") {
      out_g.kind = kind == "cylinder" ? GeometryKind::Cylinder : GeometryKind::Capsule;
      if (!number_attribute(*g, "radius", out_g.radius, where, true) ||
          !number_attribute(*g, "length", out_g.length, where, true))
        return false;
    } else if (kind == "sphere") {
      out_g.kind = GeometryKind::Sphere;
      if (!number_attribute(*g, "radius", out_g.radius, where, true)) return false;
    } else if (kind == "plane") {
      // its `size`, which some files give, bounds nothing here: the plane is infinite
      out_g.kind = GeometryKind::Plane;
      if (!numbers_attribute(*g, "normal", out_g.normal, where)) return false;
      const Triple& v = out_g.normal;
      const double norm = std::hypot(v[0], v[1], v[2]);
      if (!std::isfinite(norm) || !(norm > 0.0))
        return fail(where + ": the <plane> normal must be finite and not zero");
      for (double& c : out_g.normal) c /= norm;
    } else if (kind == "mesh") {
      out_g.kind = GeometryKind::Mesh;
      const char* filename = g->Attribute("filename");
      if (filename == nullptr) return fail(where + ": <mesh> has no 'filename' attribute");
      if (is_xacro_substitution(filename)) return fail(unexpanded(where, "filename", *g, filename));
      out_g.filename = filename;
      if (!numbers_attribute(*g, "scale", out_g.scale, where)) return false;
    } else {
      return fail(where + ": <geometry> holds <" + std::string(kind) +
                  ">, not a box, cylinder, capsule, sphere, plane or mesh");
    }
    for (const double v : {out_g.size[0], out_g.size[1], out_g.size[2], out_g.radius, out_g.length})
      if (!std::isfinite(v) || v < 0.0)
        return fail(where + ": the <" + std::string(kind) + "> sizes must be finite and not negative");
    for (const double v : out_g.scale)
      if (!std::isfinite(v)) return fail(where + ": the <mesh> scale must be finite");
    for (const double v : out.origin.xyz)
      if (!std::isfinite(v)) return fail(where + ": <origin> must hold finite values");
    for (const double v : out.origin.rpy)
      if (!std::isfinite(v)) return fail(where + ": <origin> must hold finite values");
    if (element.Name() == std::string_view("visual"))
      if (const XMLElement* m = element.FirstChildElement("material"))
        return material(*m, out.material, out.color, where, false);
    return true;
  }

  // The link's <visual> (or <collision>) elements into `shapes`; one the
  // reader cannot read goes to `skipped` with the reason, unless it is
  // unexpanded xacro: then the whole file is, and it is refused.
  bool shapes(const XMLElement& link, bool visual, const std::string& link_where,
              std::vector<Shape>& shapes, std::vector<SkippedShape>& skipped) {
    const char* tag = visual ? "visual" : "collision";
    const std::string where = link_where + ": <" + tag + ">";
    std::size_t index = 0;
    for (const XMLElement* e = link.FirstChildElement(tag); e; e = e->NextSiblingElement(tag), ++index) {
      Reader one;
      Shape read;
      if (one.shape(*e, read, where)) {
        shapes.push_back(std::move(read));
        continue;
      }
      if (one.error.find(expand_first) != std::string::npos) return fail(std::move(one.error));
      const std::string prefix = where + ": ";
      std::string reason = std::move(one.error);
      if (reason.starts_with(prefix)) reason.erase(0, prefix.size());
      skipped.push_back(SkippedShape{visual, index, std::move(reason)});
    }
    return true;
  }

  bool origin(const XMLElement* parent, Origin& out, const std::string& where) {
    const XMLElement* element = parent->FirstChildElement("origin");
    if (element == nullptr) return true;
    return numbers_attribute(*element, "xyz", out.xyz, where) &&
           numbers_attribute(*element, "rpy", out.rpy, where);
  }

  bool name(const XMLElement& element, std::string& out, const std::string& what) {
    const char* text = element.Attribute("name");
    if (text == nullptr) return fail("a <" + what + "> element has no name");
    if (is_xacro_substitution(text))
      return fail("the " + what + " name '" + text + "' is an unexpanded xacro substitution; " +
                  "this is xacro input, " + std::string(expand_first));
    out = text;
    return true;
  }

  bool link(const XMLElement& element, Link& out) {
    if (!name(element, out.name, "link")) return false;
    const std::string where = "link " + out.name;
    if (!shapes(element, true, where, out.visuals, out.skipped) ||
        !shapes(element, false, where, out.collisions, out.skipped))
      return false;
    const XMLElement* inertial = element.FirstChildElement("inertial");
    if (inertial == nullptr) return true;
    if (!origin(inertial, out.inertial.origin, where)) return false;
    const XMLElement* mass = inertial->FirstChildElement("mass");
    if (mass == nullptr) return fail(where + ": <inertial> has no <mass> element");
    if (!number_attribute(*mass, "value", out.inertial.mass, where, true)) return false;
    const XMLElement* inertia = inertial->FirstChildElement("inertia");
    if (inertia == nullptr) return true;
    Inertia& i = out.inertial.inertia;
    return number_attribute(*inertia, "ixx", i.ixx, where, true) &&
           number_attribute(*inertia, "ixy", i.ixy, where, true) &&
           number_attribute(*inertia, "ixz", i.ixz, where, true) &&
           number_attribute(*inertia, "iyy", i.iyy, where, true) &&
           number_attribute(*inertia, "iyz", i.iyz, where, true) &&
           number_attribute(*inertia, "izz", i.izz, where, true);
  }

  bool link_reference(const XMLElement& joint, const char* role, std::string& out,
                      const std::string& where) {
    const XMLElement* element = joint.FirstChildElement(role);
    const char* text = element ? element->Attribute("link") : nullptr;
    if (text == nullptr) return fail(where + " has no <" + role + " link=...> element");
    out = text;
    return true;
  }

  bool joint(const XMLElement& element, Joint& out) {
    if (!name(element, out.name, "joint")) return false;
    const std::string where = "joint " + out.name;
    const char* type = element.Attribute("type");
    if (type == nullptr) return fail(where + " has no type");
    static constexpr std::pair<std::string_view, JointType> types[] = {
        {"revolute", JointType::Revolute},   {"continuous", JointType::Continuous},
        {"prismatic", JointType::Prismatic}, {"fixed", JointType::Fixed},
        {"floating", JointType::Floating},   {"planar", JointType::Planar},
        {"spherical", JointType::Spherical}};
    bool known = false;
    for (const auto& [type_name, kind] : types) {
      if (type_name == type) {
        out.type = kind;
        out.type_name = type_name;
        known = true;
      }
    }
    if (!known) return fail(where + " has unknown type '" + type + "'");
    if (!origin(&element, out.origin, where)) return false;
    if (!link_reference(element, "parent", out.parent, where) ||
        !link_reference(element, "child", out.child, where))
      return false;
    if (const XMLElement* axis = element.FirstChildElement("axis"))
      if (!numbers_attribute(*axis, "xyz", out.axis, where)) return false;
    if (const XMLElement* limit = element.FirstChildElement("limit")) {
      if (!number_attribute(*limit, "lower", out.limit.lower, where, false) ||
          !number_attribute(*limit, "upper", out.limit.upper, where, false) ||
          !number_attribute(*limit, "velocity", out.limit.velocity, where, false))
        return false;
      // Informative only, and never checked before: a value that is not a number reads as NaN.
      Reader lenient;
      if (!lenient.number_attribute(*limit, "effort", out.limit.effort, where, false))
        out.limit.effort = std::numeric_limits<double>::quiet_NaN();
    }
    if (const XMLElement* mimic = element.FirstChildElement("mimic")) {
      Mimic& m = out.mimic.emplace();
      if (const char* leader = mimic->Attribute("joint")) m.joint = leader;
      Reader attributes;
      if (!attributes.number_attribute(*mimic, "multiplier", m.multiplier, where, false) ||
          !attributes.number_attribute(*mimic, "offset", m.offset, where, false))
        m.problem = std::move(attributes.error);
    }
    return true;
  }
};

}  // namespace

std::expected<Robot, std::string> parse(std::string_view text) {
  if (!valid_utf8(text)) return std::unexpected("stream did not contain valid UTF-8");
  // XML has no NUL character, and the parser would stop at one, dropping the rest unseen.
  if (text.find('\0') != std::string_view::npos)
    return std::unexpected("document contains a NUL character");
  if (has_internal_subset(text))
    return std::unexpected("DOCTYPE declarations with internal subsets are not supported");
  tinyxml2::XMLDocument document;
  if (document.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS)
    return std::unexpected(std::string(document.ErrorStr()));
  const XMLElement* root = document.RootElement();
  if (root == nullptr || std::strcmp(root->Name(), "robot") != 0)
    return std::unexpected("no <robot> element at the top of the document");
  // The parser tolerates further elements and text beside the document element;
  // a second <robot> would otherwise be ignored without a word.
  for (const tinyxml2::XMLNode* node = document.FirstChild(); node; node = node->NextSibling())
    if (node->ToText() != nullptr || (node->ToElement() != nullptr && node != root))
      return std::unexpected("the document must hold exactly one top-level element");
  if (const XMLElement* xacro = xacro_element(root->FirstChildElement()))
    return std::unexpected("the document uses xacro (<" + std::string(xacro->Name()) +
                           ">); this is xacro input, " + std::string(expand_first));
  Robot robot;
  Reader reader;
  if (!reader.name(*root, robot.name, "robot")) return std::unexpected(reader.error);
  for (const XMLElement* e = root->FirstChildElement("link"); e; e = e->NextSiblingElement("link")) {
    if (!reader.link(*e, robot.links.emplace_back())) return std::unexpected(reader.error);
  }
  for (const XMLElement* e = root->FirstChildElement("joint"); e; e = e->NextSiblingElement("joint")) {
    if (!reader.joint(*e, robot.joints.emplace_back())) return std::unexpected(reader.error);
  }
  std::unordered_set<std::string> material_names;
  for (const XMLElement* e = root->FirstChildElement("material"); e;
       e = e->NextSiblingElement("material")) {
    Material& m = robot.materials.emplace_back();
    if (!reader.material(*e, m.name, m.color,
                         "material " + std::string(e->Attribute("name") ? e->Attribute("name") : ""),
                         true))
      return std::unexpected(reader.error);
    if (!material_names.insert(m.name).second)
      return std::unexpected("top-level material names must be unique: '" + m.name + "' appears twice");
  }
  return robot;
}

std::expected<std::string, ReadFailure> read_text(const std::string& path, Interrupt& interrupt) {
  // The operating system would silently read the path only up to its first NUL.
  if (path.find('\0') != std::string::npos)
    return std::unexpected(ReadFailure{"path contains a NUL character"});
  // The operating system's text, then the path, as Python words its file errors.
  const auto failure = [&](int code) {
    return std::unexpected(ReadFailure{os_error(code) + ": " + quoted_path(path)});
  };
  const auto interrupted = [] { return std::unexpected(ReadFailure{{}, true}); };
  int fd;
  while ((fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
    if (errno != EINTR) return failure(errno);
    if (interrupt.poll()) return interrupted();  // opening a FIFO waits for its writer
  }
  std::string text;
  char chunk[1 << 16];
  while (true) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0) {
      const int code = errno;
      if (code == EINTR && !interrupt.poll()) continue;
      ::close(fd);
      return code == EINTR ? interrupted() : failure(code);
    }
    if (got == 0) break;
    if (text.size() + static_cast<std::size_t>(got) > max_file_size) {
      ::close(fd);
      return std::unexpected(ReadFailure{"file is larger than " + std::to_string(max_file_size) +
                                         " bytes: " + quoted_path(path)});
    }
    text.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return text;
}

}  // namespace velkor::urdf
