#pragma once

// The first place in text where pattern stands, compared without regard to
// ASCII letter case; null when it stands nowhere (or text is empty).
const char* FindNoCase(const char* text, const char* pattern);
