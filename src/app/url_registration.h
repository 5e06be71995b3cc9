// Making the program the handler of kelvo:// links ("register") and taking
// that back ("unregister"). Both log their own failures; RunMain reports the
// outcome.
#pragma once

// Writes the scheme's keys under HKEY_CLASSES_ROOT\kelvo, pointing at
// applicationPath, then (best effort) the desktop's handler entry and the
// program's version under the browser's user-agent key. True when the
// scheme's keys and values were all written.
bool RegisterURLHandler(const char* applicationPath);

// Removes the user-agent value and the desktop's handler entry (best effort),
// then the scheme's keys one by one. True when all the scheme's keys went.
bool UnregisterURLHandler();

// The registry names, for those who check what registration wrote.
extern const char kSchemeKeyName[];
extern const char kUserAgentKeyPath[];
