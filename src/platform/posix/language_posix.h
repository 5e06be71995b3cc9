// Between the Linux backends: the locale whose messages category is the
// user's (language_posix.cc), for the system's own texts that a person reads.
#pragma once
#include <locale.h>

namespace plat {

// Never null but when the C library has no locales at all.
locale_t UserMessagesLocale();

}  // namespace plat
