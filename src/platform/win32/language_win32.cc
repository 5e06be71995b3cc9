// The translations are string tables among the program's resources, made at
// build time from the same catalogs as on Linux: string 1000 + i holds the
// i-th English text (in sorted order) under LANGUAGE English, and its
// translation under the same number in every other language. A text is found
// by its English wording, then taken in the user's UI language.
#include <windows.h>

#include <map>
#include <mutex>
#include <string>

#include "platform/language.h"
#include "platform/win32/utf8_win32.h"

namespace plat {

namespace {

constexpr UINT kFirstId = 1000;
constexpr UINT kMostTexts = 4096;  // a bound on the search, far above what po/ holds

// String id of the table in language, straight from the resource: LoadString
// would pick the language itself.
bool TableString(UINT id, LANGID language, std::wstring* text) {
  HMODULE module = ::GetModuleHandleW(nullptr);
  HRSRC found = ::FindResourceExW(module, MAKEINTRESOURCEW(6) /* RT_STRING */,
                                  MAKEINTRESOURCEW(id / 16 + 1), language);
  if (!found) return false;
  HGLOBAL loaded = ::LoadResource(module, found);
  const WCHAR* at = loaded ? static_cast<const WCHAR*>(::LockResource(loaded)) : nullptr;
  if (!at) return false;
  const WCHAR* end = at + ::SizeofResource(module, found) / sizeof(WCHAR);
  // A block holds 16 strings, each its length and its characters.
  for (UINT i = 0; i < id % 16; ++i) {
    if (at >= end) return false;
    at += 1 + *at;
  }
  if (at >= end || *at == 0 || at + 1 + *at > end) return false;
  text->assign(at + 1, *at);
  return true;
}


std::string Utf8(const std::wstring& wide) {
  int count = ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (count <= 0) return std::string();
  std::string text(static_cast<size_t>(count), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &text[0], count, nullptr, nullptr);
  text.resize(static_cast<size_t>(count - 1));
  return text;
}

std::string Lookup(const char* english) {
  const LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_NEUTRAL);
  LANGID user = MAKELANGID(PRIMARYLANGID(::GetUserDefaultUILanguage()), SUBLANG_NEUTRAL);
  std::wstring wanted = Wide(english);
  std::wstring text;
  for (UINT id = kFirstId; id < kFirstId + kMostTexts && TableString(id, kEnglish, &text); ++id) {
    if (text != wanted) continue;
    if (user != kEnglish && TableString(id, user, &text)) return Utf8(text);
    break;
  }
  return english;
}

}  // namespace

const char* Translate(const char* english) {
  // Each text is looked up once; the answers live as long as the process.
  static std::mutex mutex;
  static std::map<std::string, std::string>* answers = new std::map<std::string, std::string>;
  std::lock_guard<std::mutex> lock(mutex);
  auto found = answers->find(english);
  if (found == answers->end()) found = answers->emplace(english, Lookup(english)).first;
  return found->second.c_str();
}

std::string ForStandardOutput(const char* text) {
  UINT page = ::GetConsoleOutputCP();  // 0 without a console
  if (page == 0) page = ::GetACP();
  if (page == CP_UTF8) return text;
  std::wstring wide = Wide(text);
  int count = ::WideCharToMultiByte(page, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (count <= 0) return text;
  std::string out(static_cast<size_t>(count), '\0');
  ::WideCharToMultiByte(page, 0, wide.c_str(), -1, &out[0], count, nullptr, nullptr);
  out.resize(static_cast<size_t>(count - 1));
  return out;
}

}  // namespace plat
