// Edits of the kelvo scheme's key (x-scheme-handler/kelvo) in the text of a
// mimeapps.list, as GLib reads the file: groups are "[...]" lines, the key's
// value a list of desktop entry ids each ended by ';'. Everything else of the
// text stays as it is, byte for byte.
#pragma once
#include <string>
#include <vector>

namespace plat {

using MimeGroups = std::vector<std::string>;

// Puts id first in the scheme's list of each of the groups, keeping every
// other entry of the lists and everything else of the file as it is; a
// group or a key that isn't there is added.
std::string WithHandler(const std::string& text, const std::string& id, const MimeGroups& groups);

// Whether id is in the scheme's list of the group.
bool ListsHandler(const std::string& text, const std::string& id, const std::string& group);

// Takes id out of the scheme's list in each of the groups, drops a key left
// without any entry and a group left without any key; the other entries,
// keys, groups and comments stay as they are.
std::string WithoutHandler(const std::string& text, const std::string& id,
                           const MimeGroups& groups, bool* changed);

}  // namespace plat
