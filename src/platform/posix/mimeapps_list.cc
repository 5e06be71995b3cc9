#include "platform/posix/mimeapps_list.h"

#include <cstring>

namespace plat {

namespace {

const char kMimeType[] = "x-scheme-handler/kelvo";

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  return text;
}

bool IsSectionLine(const std::string& line) { return !line.empty() && line[0] == '['; }

// When the line is our scheme's key ("key=value", blanks around '=' allowed,
// as GLib reads them): true, with the value and the text before it.
bool OurKeyValue(const std::string& line, std::string* value, std::string* key) {
  size_t keyLength = std::strlen(kMimeType);
  if (line.compare(0, keyLength, kMimeType) != 0) return false;
  size_t at = line.find_first_not_of(" \t", keyLength);
  if (at == std::string::npos || line[at] != '=') return false;
  at = line.find_first_not_of(" \t", at + 1);
  if (at == std::string::npos) at = line.size();
  *key = line.substr(0, at);
  *value = line.substr(at);
  return true;
}

std::vector<std::string> SplitIds(const std::string& list) {
  std::vector<std::string> ids;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) ids.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return ids;
}

std::string KeyLine(const std::vector<std::string>& ids) {
  std::string line = std::string(kMimeType) + "=";
  for (const auto& id : ids) line += id + ";";
  return line;
}


bool IsIn(const MimeGroups& groups, const std::string& line) {
  for (const auto& g : groups) {
    if (g == line) return true;
  }
  return false;
}

}  // namespace

// Puts id first in the scheme's list of each of the groups, keeping every
// other entry of the lists and everything else of the file as it is; a
// group or a key that isn't there is added.
std::string WithHandler(const std::string& text, const std::string& id, const MimeGroups& groups) {
  std::vector<std::string> out;
  std::string section;
  std::vector<bool> placed(groups.size(), false);
  auto placedFor = [&](const std::string& group) -> std::vector<bool>::reference {
    size_t i = 0;
    while (groups[i] != group) ++i;
    return placed[i];
  };
  // Where the key goes in a group that lacks it: after the group's last line
  // that isn't blank.
  auto place = [&](const std::string& group) {
    if (!IsIn(groups, group) || placedFor(group)) return;
    size_t at = out.size();
    while (at > 0 && out[at - 1].find_first_not_of(" \t\r") == std::string::npos) --at;
    out.insert(out.begin() + static_cast<long>(at), KeyLine({id}));
    placedFor(group) = true;
  };
  for (const auto& line : SplitLines(text)) {
    std::string value, key;
    if (IsSectionLine(line)) {
      place(section);
      section = line;
    } else if (IsIn(groups, section) && OurKeyValue(line, &value, &key)) {
      bool done = placedFor(section);
      std::vector<std::string> ids = SplitIds(value), others;
      for (const auto& other : ids) {
        if (other != id) others.push_back(other);
      }
      if (!done && others.size() + 1 == ids.size() && ids[0] == id) {
        out.push_back(line);  // ours is first already
      } else if (!done && others.size() == ids.size()) {
        // Ours goes in front of the list as it stands, so that taking it
        // out again gives back the very line.
        out.push_back(key + id + ";" + value);
      } else if (!done) {
        others.insert(others.begin(), id);
        out.push_back(KeyLine(others));
      } else if (!others.empty()) {
        out.push_back(KeyLine(others));
      }
      placedFor(section) = true;
      continue;
    }
    out.push_back(line);
  }
  place(section);
  for (size_t i = 0; i < groups.size(); ++i) {
    if (placed[i]) continue;
    out.push_back(groups[i]);
    out.push_back(KeyLine({id}));
  }
  return JoinLines(out);
}

// Whether id is in the scheme's list of the group.
bool ListsHandler(const std::string& text, const std::string& id, const std::string& group) {
  std::string section;
  for (const auto& line : SplitLines(text)) {
    std::string value, key;
    if (IsSectionLine(line)) {
      section = line;
    } else if (section == group && OurKeyValue(line, &value, &key)) {
      for (const auto& listed : SplitIds(value)) {
        if (listed == id) return true;
      }
    }
  }
  return false;
}

// Takes id out of the scheme's list in each of the groups, drops a key left
// without any entry and a group left without any key; the other entries,
// keys, groups and comments stay as they are.
std::string WithoutHandler(const std::string& text, const std::string& id, const MimeGroups& groups,
                           bool* changed) {
  std::vector<std::string> out;
  std::vector<size_t> emptiedGroups;  // where in out a group's header is
  std::string section;
  size_t header = 0;
  for (const auto& line : SplitLines(text)) {
    std::string value, key;
    if (IsSectionLine(line)) {
      section = line;
      header = out.size();
    } else if (IsIn(groups, section) && OurKeyValue(line, &value, &key)) {
      std::vector<std::string> ids = SplitIds(value), kept;
      for (const auto& other : ids) {
        if (other != id) kept.push_back(other);
      }
      if (kept.size() != ids.size()) {
        *changed = true;
        std::string front = id + ";";
        if (!kept.empty() && kept.size() + 1 == ids.size() &&
            value.compare(0, front.size(), front) == 0) {
          // The line as it was before ours was put in front.
          out.push_back(key + value.substr(front.size()));
        } else if (!kept.empty()) {
          out.push_back(KeyLine(kept));
        } else if (emptiedGroups.empty() || emptiedGroups.back() != header) {
          emptiedGroups.push_back(header);
        }
        continue;
      }
    }
    out.push_back(line);
  }
  // A group that held nothing but our key goes too, with its blank lines.
  auto blank = [](const std::string& l) { return l.find_first_not_of(" \t\r") == std::string::npos; };
  for (auto at = emptiedGroups.rbegin(); at != emptiedGroups.rend(); ++at) {
    if (*at >= out.size() || !IsSectionLine(out[*at])) continue;
    size_t end = *at + 1;
    while (end < out.size() && blank(out[end])) ++end;
    if (end == out.size() || IsSectionLine(out[end])) {
      out.erase(out.begin() + static_cast<long>(*at), out.begin() + static_cast<long>(end));
    }
  }
  return JoinLines(out);
}

}  // namespace plat
