// The two failures that must reach a person even when nobody watches a console.
#pragma once
#include <cstdint>
#include <string>

namespace plat {

// The system's text for a Windows error code, in the user's language, as
// UTF-8 (FormatMessage on Windows; the text of the matching errno elsewhere).
// False when there is none.
bool SystemMessageText(int32_t code, std::string* text);

// An OK-only box with no owner window (Windows); caption and text in UTF-8. Elsewhere there is no desktop
// to assume: "<caption>: <text>" and a line end go to standard error.
void ShowMessageBox(const char* caption, const char* text);

}  // namespace plat
