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
#include <algorithm>
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

// The offset of the first byte that is not strict UTF-8 (overlong forms, surrogates and
// anything above U+10FFFF are not), or npos.
std::size_t invalid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    const unsigned c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    const std::size_t at =
        static_cast<std::size_t>(p - reinterpret_cast<const unsigned char*>(s.data()));
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
    } else return at;
    if (end - p <= extra) return at;
    if (p[1] < lo || p[1] > hi) return at;
    for (int k = 2; k <= extra; ++k)
      if (p[k] < 0x80 || p[k] > 0xBF) return at;
    p += extra + 1;
  }
  return std::string_view::npos;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The offset of <!DOCTYPE ... [ ... ]> when the prolog holds one, else npos. Its
// declarations (entities among them) are never expanded; the parser would stop the
// DOCTYPE at its first '>' and then report the rest of the subset as stray content.
std::size_t internal_subset(std::string_view text) {
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
  if (text.substr(at, 9) != "<!DOCTYPE") return std::string_view::npos;
  const std::size_t bracket = text.find('[', at);
  return bracket != std::string_view::npos && bracket < text.find('>', at) ? at : std::string_view::npos;
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

// The element's path from <robot> ("joint/limit"); "robot" for the document element.
std::string path_of(const XMLElement& element) {
  std::string path = element.Name();
  for (const tinyxml2::XMLNode* up = element.Parent(); up != nullptr; up = up->Parent()) {
    const XMLElement* e = up->ToElement();
    if (e == nullptr || e->Parent() == nullptr || e->Parent()->ToElement() == nullptr) break;
    path = std::string(e->Name()) + "/" + path;
  }
  return path;
}

Line line_of(const XMLElement* element) {
  return element == nullptr ? 0 : static_cast<Line>(std::max(element->GetLineNum(), 0));
}

// Reading context: names the element being read in every message.
class Reader {
 public:
  std::string error;
  SourcePlace place;  // of the error
  std::string owner;  // the name of the link or joint being read

  // Records the first failure, at `at` (and its `attribute`, when one is at fault).
  bool fail(const XMLElement& at, std::string message, Label attribute = {}) {
    if (error.empty()) {
      error = std::move(message);
      place = {path_of(at), owner, line_of(&at), attribute};
    }
    return false;
  }

  bool number_attribute(const XMLElement& element, const char* attribute, double& out,
                        const std::string& where, bool required) {
    const char* text = element.Attribute(attribute);
    if (text == nullptr) {
      if (!required) return true;
      return fail(element, where + ": <" + element.Name() + "> has no '" + attribute + "' attribute",
                  attribute);
    }
    std::string_view token = text;
    while (!token.empty() && is_space(token.front())) token.remove_prefix(1);
    while (!token.empty() && is_space(token.back())) token.remove_suffix(1);
    if (!parse_number(token, out)) {
      if (is_xacro_substitution(text))
        return fail(element, unexpanded(where, attribute, element, text), attribute);
      return fail(element,
                  where + ": attribute '" + attribute + "' of <" + element.Name() +
                      "> is not a number: '" + text + "'",
                  attribute);
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
        if (is_xacro_substitution(text))
          return fail(element, unexpanded(where, attribute, element, text), attribute);
        count = K + 1;
        break;
      }
      values[count++] = value;
      rest.remove_prefix(length);
    }
    if (count != K)
      return fail(element,
                  where + ": attribute '" + attribute + "' of <" + element.Name() + "> must hold " +
                      (K == 3 ? "three" : "four") + " numbers: '" + text + "'",
                  attribute);
    out = values;
    return true;
  }

  // Four numbers (an rgba colour), each from 0 to 1.
  bool color_attribute(const XMLElement& element, Color& out, const std::string& where) {
    const char* text = element.Attribute("rgba");
    if (text == nullptr) return fail(element, where + ": <color> has no 'rgba' attribute", "rgba");
    Color values{};
    if (!numbers_attribute(element, "rgba", values, where)) return false;
    for (const double v : values)
      if (!(v >= 0.0 && v <= 1.0))
        return fail(
            element,
            where + ": attribute 'rgba' of <color> must hold numbers from 0 to 1: '" + text + "'",
            "rgba");
    out = values;
    return true;
  }

  // <material name=...> with an optional <color>; `named` requires the name.
  bool material(const XMLElement& element, std::string& name, std::optional<Color>& color,
                const std::string& where, bool named) {
    const char* text = element.Attribute("name");
    if (text != nullptr && is_xacro_substitution(text))
      return fail(element, unexpanded(where, "name", element, text), "name");
    if (text != nullptr) name = text;
    else if (named) return fail(element, "a top-level <material> element has no name", "name");
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
    if (geometry == nullptr) return fail(element, where + ": no <geometry> element");
    const XMLElement* g = geometry->FirstChildElement();
    if (g == nullptr) return fail(*geometry, where + ": <geometry> holds no shape");
    if (g->NextSiblingElement() != nullptr)
      return fail(*geometry, where + ": <geometry> holds more than one shape (<" + g->Name() +
                                 "> and <" + g->NextSiblingElement()->Name() + ">)");
    Geometry& out_g = out.geometry;
    const std::string_view kind = g->Name();
    if (kind == "box") {
      out_g.kind = GeometryKind::Box;
      if (g->Attribute("size") == nullptr)
        return fail(*g, where + ": <box> has no 'size' attribute", "size");
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
        return fail(*g, where + ": the <plane> normal must be finite and not zero", "normal");
      for (double& c : out_g.normal) c /= norm;
    } else if (kind == "mesh") {
      out_g.kind = GeometryKind::Mesh;
      const char* filename = g->Attribute("filename");
      if (filename == nullptr)
        return fail(*g, where + ": <mesh> has no 'filename' attribute", "filename");
      if (is_xacro_substitution(filename))
        return fail(*g, unexpanded(where, "filename", *g, filename), "filename");
      out_g.filename = filename;
      if (!numbers_attribute(*g, "scale", out_g.scale, where)) return false;
    } else {
      return fail(*g, where + ": <geometry> holds <" + std::string(kind) +
                          ">, not a box, cylinder, capsule, sphere, plane or mesh");
    }
    for (const double v : {out_g.size[0], out_g.size[1], out_g.size[2], out_g.radius, out_g.length})
      if (!std::isfinite(v) || v < 0.0)
        return fail(*g,
                    where + ": the <" + std::string(kind) + "> sizes must be finite and not negative");
    for (const double v : out_g.scale)
      if (!std::isfinite(v)) return fail(*g, where + ": the <mesh> scale must be finite", "scale");
    const XMLElement* origin = element.FirstChildElement("origin");
    for (const double v : out.origin.xyz)
      if (!std::isfinite(v))
        return fail(origin ? *origin : element, where + ": <origin> must hold finite values", "xyz");
    for (const double v : out.origin.rpy)
      if (!std::isfinite(v))
        return fail(origin ? *origin : element, where + ": <origin> must hold finite values", "rpy");
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
      one.owner = owner;
      Shape read;
      if (one.shape(*e, read, where)) {
        shapes.push_back(std::move(read));
        continue;
      }
      if (one.error.find(expand_first) != std::string::npos) {
        error = std::move(one.error);
        place = std::move(one.place);
        return false;
      }
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
    if (text == nullptr) return fail(element, "a <" + what + "> element has no name", "name");
    owner = text;
    if (is_xacro_substitution(text))
      return fail(element,
                  "the " + what + " name '" + text + "' is an unexpanded xacro substitution; " +
                      "this is xacro input, " + std::string(expand_first),
                  "name");
    out = text;
    return true;
  }

  bool link(const XMLElement& element, Link& out) {
    owner.clear();
    out.line = line_of(&element);
    if (!name(element, out.name, "link")) return false;
    const std::string where = "link " + out.name;
    if (!shapes(element, true, where, out.visuals, out.skipped) ||
        !shapes(element, false, where, out.collisions, out.skipped))
      return false;
    const XMLElement* inertial = element.FirstChildElement("inertial");
    if (inertial == nullptr) return true;
    out.lines.inertial = line_of(inertial);
    out.lines.origin = line_of(inertial->FirstChildElement("origin"));
    if (!origin(inertial, out.inertial.origin, where)) return false;
    const XMLElement* mass = inertial->FirstChildElement("mass");
    if (mass == nullptr) return fail(*inertial, where + ": <inertial> has no <mass> element");
    out.lines.mass = line_of(mass);
    if (!number_attribute(*mass, "value", out.inertial.mass, where, true)) return false;
    const XMLElement* inertia = inertial->FirstChildElement("inertia");
    if (inertia == nullptr) return true;
    out.lines.inertia = line_of(inertia);
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
    if (text == nullptr && element == nullptr) {  // placed at the joint, naming the missing element
      fail(joint, where + " has no <" + role + " link=...> element", "link");
      place.element = std::string("joint/") + role;
      return false;
    }
    if (text == nullptr)
      return fail(*element, where + " has no <" + role + " link=...> element", "link");
    out = text;
    return true;
  }

  bool joint(const XMLElement& element, Joint& out) {
    owner.clear();
    out.line = line_of(&element);
    if (!name(element, out.name, "joint")) return false;
    const std::string where = "joint " + out.name;
    out.lines.origin = line_of(element.FirstChildElement("origin"));
    out.lines.parent = line_of(element.FirstChildElement("parent"));
    out.lines.child = line_of(element.FirstChildElement("child"));
    out.lines.axis = line_of(element.FirstChildElement("axis"));
    out.lines.limit = line_of(element.FirstChildElement("limit"));
    out.lines.mimic = line_of(element.FirstChildElement("mimic"));
    const char* type = element.Attribute("type");
    if (type == nullptr) return fail(element, where + " has no type", "type");
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
    if (!known) return fail(element, where + " has unknown type '" + type + "'", "type");
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
      attributes.owner = owner;
      if (!attributes.number_attribute(*mimic, "multiplier", m.multiplier, where, false) ||
          !attributes.number_attribute(*mimic, "offset", m.offset, where, false)) {
        m.problem = std::move(attributes.error);
        m.problem_attribute = attributes.place.attribute;
      }
    }
    return true;
  }
};

}  // namespace

namespace {

// 1-based line of a byte offset.
std::size_t line_at(std::string_view text, std::size_t offset) {
  return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + offset, '\n'));
}

std::unexpected<Error> refused(std::string message, SourcePlace place) {
  return std::unexpected(Error(errors::Urdf{std::move(message), std::move(place)}));
}

std::unexpected<Error> refused(const Reader& reader) { return refused(reader.error, reader.place); }

std::unexpected<Error> document_refused(std::string message, std::size_t line) {
  return refused(std::move(message), {"document", {}, line, {}});
}

}  // namespace

std::expected<Robot, Error> parse(std::string_view text) {
  if (const std::size_t at = invalid_utf8(text); at != std::string_view::npos)
    return document_refused("stream did not contain valid UTF-8", line_at(text, at));
  // XML has no NUL character, and the parser would stop at one, dropping the rest unseen.
  if (const std::size_t at = text.find('\0'); at != std::string_view::npos)
    return document_refused("document contains a NUL character", line_at(text, at));
  if (const std::size_t at = internal_subset(text); at != std::string_view::npos)
    return document_refused("DOCTYPE declarations with internal subsets are not supported",
                            line_at(text, at));
  tinyxml2::XMLDocument document;
  if (document.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS)
    return document_refused(document.ErrorStr(),
                            static_cast<std::size_t>(std::max(document.ErrorLineNum(), 0)));
  const XMLElement* root = document.RootElement();
  if (root == nullptr || std::strcmp(root->Name(), "robot") != 0)
    return document_refused("no <robot> element at the top of the document", line_of(root));
  // The parser tolerates further elements and text beside the document element;
  // a second <robot> would otherwise be ignored without a word.
  for (const tinyxml2::XMLNode* node = document.FirstChild(); node; node = node->NextSibling())
    if (node->ToText() != nullptr || (node->ToElement() != nullptr && node != root))
      return document_refused("the document must hold exactly one top-level element",
                              static_cast<std::size_t>(std::max(node->GetLineNum(), 0)));
  if (const XMLElement* xacro = xacro_element(root->FirstChildElement()))
    return refused("the document uses xacro (<" + std::string(xacro->Name()) +
                       ">); this is xacro input, " + std::string(expand_first),
                   {path_of(*xacro), {}, line_of(xacro), {}});
  Robot robot;
  robot.line = line_of(root);
  Reader reader;
  if (!reader.name(*root, robot.name, "robot")) return refused(reader);
  for (const XMLElement* e = root->FirstChildElement("link"); e; e = e->NextSiblingElement("link")) {
    if (!reader.link(*e, robot.links.emplace_back())) return refused(reader);
  }
  for (const XMLElement* e = root->FirstChildElement("joint"); e; e = e->NextSiblingElement("joint")) {
    if (!reader.joint(*e, robot.joints.emplace_back())) return refused(reader);
  }
  std::unordered_set<std::string> material_names;
  for (const XMLElement* e = root->FirstChildElement("material"); e;
       e = e->NextSiblingElement("material")) {
    Material& m = robot.materials.emplace_back();
    reader.owner = e->Attribute("name") ? e->Attribute("name") : "";
    if (!reader.material(*e, m.name, m.color, "material " + reader.owner, true)) return refused(reader);
    if (!material_names.insert(m.name).second)
      return refused("top-level material names must be unique: '" + m.name + "' appears twice",
                     {"material", m.name, line_of(e), "name"});
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
