// Files, folders and paths, as the program needs them. Failures leave the
// Windows error code in LastErrorCode().
#pragma once
#include <cstdint>
#include <string>

namespace plat {

// "\\" on Windows, "/" elsewhere: where a path is joined from parts.
extern const char kPathSeparator[];

// A file opened for reading whole (read sharing, existing files only).
// Paths are looked up as Windows looks them up: blanks and dots that end the
// last name are dropped, so "fw.bin  " opens fw.bin on every build.
struct ReadFileHandle;
ReadFileHandle* OpenForRead(const char* path);
// The whole size, all 64 bits of it: a caller that can hold only 32 must see
// that a file of 4 GiB and more does not fit, not its low bits.
bool GetOpenFileSize(ReadFileHandle* file, uint64_t* size);
bool ReadFromFile(ReadFileHandle* file, void* buffer, uint32_t size, uint32_t* bytesRead);
void CloseFile(ReadFileHandle* file);

// True when the file can be opened for reading (as fopen "r" would, with the
// lookup of OpenForRead).
bool CanOpenForReading(const char* path);

// The size of the file at path (low 32 bits), from its attributes.
bool GetFileSizeByPath(const char* path, uint32_t* size);

// Copies, replacing the destination if it exists. The copy is written beside
// the destination under a name of its own and renamed over it, so the
// destination holds either what it held or the whole copy, and a link placed
// at its name is replaced, never written through. The copy is the user's
// alone (0600 on Linux). On Linux a source that is a symbolic link is refused.
bool CopyFileReplacing(const char* from, const char* to);

// Empties the file (open for writing, which truncates). False when it can't
// be opened; on Linux a symbolic link is refused, never followed.
bool EmptyFile(const char* path);

// A file held by this process against every other: on Windows opened without
// sharing, on Linux under an exclusive flock (which AppendTextExclusive takes
// too). While one process holds it, the others' opens or locks fail.
struct HeldFile;
// Opens path for reading and writing and holds it, waiting up to waitMs while
// another process holds it. With create, a missing file is made (the user's
// alone); without, a missing file fails. On Linux a symbolic link at the
// final name is refused, never followed. Null on failure, with the code in
// LastErrorCode() (32, the sharing violation, when another process held it
// all the while).
HeldFile* HoldFile(const char* path, bool create, int waitMs);
bool GetHeldFileSize(HeldFile* file, uint32_t* size);
// Appends text as AppendTextExclusive does, through the hold.
bool AppendTextToHeldFile(HeldFile* file, const char* text);
// CopyFileReplacing with the held file as the source.
bool CopyHeldFileReplacing(HeldFile* file, const char* to);
bool EmptyHeldFile(HeldFile* file);
void ReleaseHeldFile(HeldFile* file);
// Whether the held file is still the file at path: on Linux a file can be
// removed, or replaced, while a process holds or waits for it (on Windows a
// held file can't be, and this is always true).
bool HeldFileIsAt(HeldFile* file, const char* path);

// Creates the folder and any missing parents (on Linux for the user alone,
// 0700; folders that exist keep their mode). Returns 0 when created,
// 183 (ERROR_ALREADY_EXISTS) when it was there already, or the error code.
int32_t CreateFolderTree(const char* path);

// Appends text to the file in text mode ("\n" stored as the platform's line
// end) while holding the file exclusively. A file it creates is the user's
// alone (0600 on Linux), and on Linux a symbolic link at path is refused.
// False when the file couldn't be opened or locked at this moment (another
// process holds it); the caller may retry.
bool AppendTextExclusive(const char* path, const char* text);

// The user's local application-data folder (Windows: CSIDL_LOCAL_APPDATA;
// Linux: $XDG_STATE_HOME when it is an absolute path, or $HOME/.local/state). False when there is none.
bool LocalAppDataFolder(std::string* folder);

// Full path of the running executable, cut to at most maxChars characters.
std::string ModulePath(size_t maxChars);
// The length of that path uncut, so that a caller can tell a cut path from a
// whole one (0 when it can't be read).
size_t ModulePathLength();

// Writes folder, the separator and name into out (outSize bytes, cut to fit
// and always terminated), as "%s\\%s" does on Windows.
void JoinPath(char* out, size_t outSize, const char* folder, const char* name);

// The folder part of a path (everything before its last separator), or ""
// when there is no separator; the file part is what follows it.
std::string FolderOf(const std::string& path);
std::string FileNameOf(const std::string& path);

}  // namespace plat
