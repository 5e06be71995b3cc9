// What a person asking the program for help at a prompt is shown.
#pragma once

// The forms of command line the program takes, one a line, ending with a
// line end. Kept in this one place, whole, so that it can be translated.
const char* UsageText();
