#include "xml_scan.h"

namespace satemu {

namespace {

bool name_ends(char c) {
  return c == '>' || c == '/' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Position of the next start tag of `tag` at or after `from`, or npos.
std::size_t find_start(std::string_view xml, std::string_view tag, std::size_t from) {
  while (from < xml.size()) {
    const std::size_t lt = xml.find('<', from);
    if (lt == std::string_view::npos) return lt;
    const std::size_t after = lt + 1 + tag.size();
    if (after < xml.size() && xml.substr(lt + 1, tag.size()) == tag && name_ends(xml[after])) {
      return lt;
    }
    from = lt + 1;
  }
  return std::string_view::npos;
}

// Parses the element starting at `lt`; sets `next` to the position after it.
std::optional<XmlElement> element_at(std::string_view xml, std::string_view tag, std::size_t lt,
                                     std::size_t &next) {
  const std::size_t gt = xml.find('>', lt);
  if (gt == std::string_view::npos) return std::nullopt;
  XmlElement e;
  const std::size_t attr_from = lt + 1 + tag.size();
  if (xml[gt - 1] == '/' && gt - 1 >= attr_from) {
    e.attributes = xml.substr(attr_from, gt - 1 - attr_from);
    e.whole = xml.substr(lt, gt + 1 - lt);
    next = gt + 1;
    return e;
  }
  e.attributes = xml.substr(attr_from, gt - attr_from);
  // Find the matching end tag, counting nested elements of the same name.
  const std::string close = "</" + std::string(tag);
  int depth = 1;
  std::size_t pos = gt + 1;
  while (depth > 0) {
    const std::size_t open_at = find_start(xml, tag, pos);
    std::size_t close_at = xml.find(close, pos);
    while (close_at != std::string_view::npos && close_at + close.size() < xml.size() &&
           !name_ends(xml[close_at + close.size()])) {
      close_at = xml.find(close, close_at + 1);
    }
    if (close_at == std::string_view::npos) return std::nullopt;
    if (open_at != std::string_view::npos && open_at < close_at) {
      const std::size_t open_gt = xml.find('>', open_at);
      if (open_gt == std::string_view::npos) return std::nullopt;
      if (xml[open_gt - 1] != '/') ++depth;
      pos = open_gt + 1;
      continue;
    }
    --depth;
    const std::size_t end_gt = xml.find('>', close_at);
    if (end_gt == std::string_view::npos) return std::nullopt;
    if (depth == 0) {
      e.inner = xml.substr(gt + 1, close_at - gt - 1);
      e.whole = xml.substr(lt, end_gt + 1 - lt);
      next = end_gt + 1;
      return e;
    }
    pos = end_gt + 1;
  }
  return std::nullopt;
}

}  // namespace

std::optional<XmlElement> xml_find(std::string_view xml, std::string_view tag) {
  const std::size_t lt = find_start(xml, tag, 0);
  if (lt == std::string_view::npos) return std::nullopt;
  std::size_t next = 0;
  return element_at(xml, tag, lt, next);
}

std::vector<XmlElement> xml_find_all(std::string_view xml, std::string_view tag) {
  std::vector<XmlElement> out;
  std::size_t pos = 0;
  while (true) {
    const std::size_t lt = find_start(xml, tag, pos);
    if (lt == std::string_view::npos) break;
    std::size_t next = 0;
    auto e = element_at(xml, tag, lt, next);
    if (!e) break;
    out.push_back(*e);
    pos = next;
  }
  return out;
}

std::optional<std::string> xml_attribute(std::string_view attributes, std::string_view name) {
  std::size_t pos = 0;
  while ((pos = attributes.find(name, pos)) != std::string_view::npos) {
    const bool starts = pos == 0 || attributes[pos - 1] == ' ' || attributes[pos - 1] == '\t' ||
                        attributes[pos - 1] == '\n' || attributes[pos - 1] == '\r';
    std::size_t p = pos + name.size();
    while (p < attributes.size() && attributes[p] == ' ') ++p;
    if (starts && p < attributes.size() && attributes[p] == '=') {
      ++p;
      while (p < attributes.size() && attributes[p] == ' ') ++p;
      if (p < attributes.size() && (attributes[p] == '"' || attributes[p] == '\'')) {
        const char quote = attributes[p];
        const std::size_t end = attributes.find(quote, p + 1);
        if (end == std::string_view::npos) return std::nullopt;
        return xml_unescape(attributes.substr(p + 1, end - p - 1));
      }
    }
    pos += name.size();
  }
  return std::nullopt;
}

std::string xml_text(std::string_view xml, std::string_view tag) {
  const auto e = xml_find(xml, tag);
  if (!e) return {};
  std::string_view t = e->inner;
  while (!t.empty() &&
         (t.front() == ' ' || t.front() == '\n' || t.front() == '\r' || t.front() == '\t'))
    t.remove_prefix(1);
  while (!t.empty() &&
         (t.back() == ' ' || t.back() == '\n' || t.back() == '\r' || t.back() == '\t'))
    t.remove_suffix(1);
  return xml_unescape(t);
}

std::string xml_unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out.push_back(text[i]);
      continue;
    }
    const std::size_t semi = text.find(';', i);
    if (semi == std::string_view::npos || semi - i > 8) {
      out.push_back('&');
      continue;
    }
    const std::string_view ent = text.substr(i + 1, semi - i - 1);
    if (ent == "amp")
      out.push_back('&');
    else if (ent == "lt")
      out.push_back('<');
    else if (ent == "gt")
      out.push_back('>');
    else if (ent == "quot")
      out.push_back('"');
    else if (ent == "apos")
      out.push_back('\'');
    else {
      out.append(text.substr(i, semi - i + 1));
    }
    i = semi;
  }
  return out;
}

std::string xml_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

void xml_add(std::string &out, std::string_view tag, std::string_view text) {
  out += '<';
  out += tag;
  out += '>';
  out += xml_escape(text);
  out += "</";
  out += tag;
  out += '>';
}

}  // namespace satemu
