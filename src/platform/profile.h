// Reading single values from an INI ("private profile") file. Windows reads
// it with GetPrivateProfileStringA / GetPrivateProfileIntA; elsewhere a reader
// of our own gives the same answers for the same file, so one settings file
// means the same thing on every build:
// - lines end at LF or CR; blanks (space, tab, CR, LF, VT, FF, 0x1A) around
//   section names, key names and values are dropped; a UTF-8 byte-order mark is skipped;
// - "[name]" starts a section (text after the last ']' is ignored; a '[' line
//   without ']' is ignored); names of sections and keys match in any letter case;
// - only the first section of a name is searched, and its first key of the
//   name wins; a key line without '=' has no value and gives the default;
// - there is no comment syntax as such: a ';' line is a key nobody asks for,
//   and a ';' inside a value is part of the value;
// - a value (or default) longer than one character that starts and ends with
//   the same quote (" or ') loses both quotes;
// - texts are cut to outSize - 1 characters and always terminated.
#pragma once
#include <cstdint>

namespace plat {

// The value of key in section (both given, never null) of the INI file at
// path, copied into out (outSize bytes). A missing file, section or key, or a
// key without '=', gives defaultValue (without its trailing blanks). An empty
// value ("key=") is an empty text, not the default. Returns the number of
// characters copied.
uint32_t ReadProfileString(const char* path, const char* section, const char* key,
                           const char* defaultValue, char* out, uint32_t outSize);

// The value read as above (at most 29 characters of it) as an integer:
// blanks, then an optional sign, then "0x" (hex), "0o" (octal), "0b" (binary)
// or decimal digits up to the first character that isn't one; no digits
// gives 0, and numbers wrap around in 32 bits. A missing or empty value
// gives defaultValue.
int32_t ReadProfileInt(const char* path, const char* section, const char* key,
                       int32_t defaultValue);

}  // namespace plat
