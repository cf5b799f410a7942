// A small, tolerant scanner for the XML documents a POS sends (sales,
// cancellations, network settings). It finds elements by name and reads
// their text; it does not validate and never throws.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace satemu {

struct XmlElement {
  std::string_view attributes;  // text between the name and '>' of the start tag
  std::string_view inner;       // content between start and end tag (empty when self-closing)
  std::string_view whole;       // start tag to end tag inclusive
};

// First element named `tag` (same-named descendants are matched by depth).
std::optional<XmlElement> xml_find(std::string_view xml, std::string_view tag);
std::vector<XmlElement> xml_find_all(std::string_view xml, std::string_view tag);
std::optional<std::string> xml_attribute(std::string_view attributes, std::string_view name);

// Decoded text content of the first `tag` element, or empty.
std::string xml_text(std::string_view xml, std::string_view tag);

std::string xml_unescape(std::string_view text);
std::string xml_escape(std::string_view text);

// Writes <tag>escaped text</tag>.
void xml_add(std::string &out, std::string_view tag, std::string_view text);

}  // namespace satemu
