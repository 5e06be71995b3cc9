// The files of the desktop's side of registration (Linux): written whole or
// not at all, read without following links, and the record that registration
// keeps of what it changed beyond its own files, so that "unregister" can
// undo exactly that even when a run was killed half-way or a file is gone.
#pragma once
#include <string>
#include <vector>

namespace plat {

// Makes the folder and any missing parents; the folders it made are added
// to made (the outermost first). 0 or the errno of the failing step.
int MakeDesktopFolders(const std::string& path, std::vector<std::string>* made = nullptr);

// Writes beside path under a temporary name (path + ".tmp-" + process id)
// and renames, so a reader never sees half a file. 0 or an errno.
int WriteFileAtomically(const std::string& path, const std::string& text, unsigned mode = 0644);

// 0 and the text, ENOENT when there is no file, or another errno. A link is
// refused: what it points at would be written back, as our own file, beside it.
int ReadFileNoFollow(const std::string& path, std::string* text);

// The file to read and write for the user's mimeapps.list at path: path
// itself, or, when it is a symbolic link that the user owns to a regular
// file the user owns (as dotfile managers make it), that file. EACCES when
// it is any other link, or a link to nothing.
int DefaultsFileToEdit(const std::string& path, std::string* file);

// Removes, beside path, the temporary files that runs of ours that were
// killed left: path + ".tmp-" + the id of a process that has ended.
void RemoveStaleTemporariesOf(const std::string& path);

// What "register" changed beyond its own files, kept in a file of the
// program's ($XDG_CONFIG_HOME/KelvoUpgrader/desktop-registration): whether it
// took the packages' entry out of the user's handlers, and the folders it
// made. Written before the change, removed after "unregister" undid it.
struct DesktopRecord {
  bool hides = false;
  std::vector<std::string> madeFolders;
};
std::string DesktopRecordPath();
bool ReadDesktopRecord(DesktopRecord* record);  // false when there is none
int WriteDesktopRecord(const DesktopRecord& record);
void RemoveDesktopRecord();

}  // namespace plat
