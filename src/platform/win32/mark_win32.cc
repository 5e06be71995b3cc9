#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <new>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/mark.h"

namespace plat {

struct Mark {
  HANDLE mutex;
  bool taken;
};

namespace {

// The SID a token names in its information class (TokenUser, TokenOwner),
// in a buffer of the caller's.
PSID TokenSid(HANDLE token, TOKEN_INFORMATION_CLASS which, std::string* buffer) {
  DWORD size = 0;
  ::GetTokenInformation(token, which, nullptr, 0, &size);
  if (size == 0) return nullptr;
  buffer->assign(size, '\0');
  if (!::GetTokenInformation(token, which, &(*buffer)[0], size, &size)) return nullptr;
  return which == TokenUser ? reinterpret_cast<TOKEN_USER*>(&(*buffer)[0])->User.Sid
                            : reinterpret_cast<TOKEN_OWNER*>(&(*buffer)[0])->Owner;
}

// Whether a mutex that existed before we opened it was made by our account:
// its owner is our user, or the owner our token gives what it makes (the
// Administrators group for an elevated administrator). Anything else took
// the name first to hold every copy back, and its mark means nothing.
// Where the owner can't be read, the mutex is taken as it is.
bool MadeByUs(HANDLE mutex) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(mutex, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return true;
  }
  bool ours = true;
  HANDLE token = nullptr;
  if (owner && ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    std::string userBuffer, ownerBuffer;
    PSID user = TokenSid(token, TokenUser, &userBuffer);
    PSID defaultOwner = TokenSid(token, TokenOwner, &ownerBuffer);
    if (user || defaultOwner) {
      ours = (user && ::EqualSid(owner, user)) || (defaultOwner && ::EqualSid(owner, defaultOwner));
    }
    ::CloseHandle(token);
  }
  ::LocalFree(descriptor);
  return ours;
}

// The user's SID as text ("S-1-5-21-..."), or empty.
std::string UserSidText() {
  std::string text;
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return text;
  std::string buffer;
  PSID user = TokenSid(token, TokenUser, &buffer);
  char* sid = nullptr;
  if (user && ::ConvertSidToStringSidA(user, &sid)) {
    text = sid;
    ::LocalFree(sid);
  }
  ::CloseHandle(token);
  return text;
}

// Opens (or makes) the named mutex when our account made it; refused says
// why not.
HANDLE OpenOurMutex(const std::string& full, std::vector<std::string>* refused) {
  // Not inheritable, not owned at creation: taking it is a separate wait.
  HANDLE mutex = ::CreateMutexA(nullptr, FALSE, full.c_str());
  if (!mutex) {
    DWORD error = ::GetLastError();
    if (refused) refused->push_back(full + " can't be opened (error " + std::to_string(error) + ")");
    ::SetLastError(error);
    return nullptr;
  }
  if (::GetLastError() == ERROR_ALREADY_EXISTS && !MadeByUs(mutex)) {
    ::CloseHandle(mutex);
    if (refused) refused->push_back(full + " was made by another account");
    ::SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return mutex;
}

}  // namespace

Mark* OpenMark(const char* name, std::vector<std::string>* refused) {
  std::string full = std::string("Global\\KelvoUpgrader.") + name;
  HANDLE mutex = OpenOurMutex(full, refused);
  if (!mutex) {
    // A name another account took first must not decide for this one: the
    // user's copies agree on a name of their own then, which bears the
    // user's SID.
    DWORD error = ::GetLastError();
    std::string sid = UserSidText();
    if (sid.empty()) {
      ::SetLastError(error);
      return nullptr;
    }
    mutex = OpenOurMutex(full + "." + sid, refused);
    if (!mutex) return nullptr;
  }
  Mark* mark = new (std::nothrow) Mark{mutex, false};
  if (!mark) {
    ::CloseHandle(mutex);
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  return mark;
}

MarkTake TakeMark(Mark* mark, int waitMs) {
  DWORD result = ::WaitForSingleObject(mark->mutex, waitMs < 0 ? 0 : static_cast<DWORD>(waitMs));
  // An abandoned mutex is one whose holder died: the wait hands it over.
  if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
    mark->taken = true;
    return MarkTake::Taken;
  }
  if (result == WAIT_TIMEOUT) return MarkTake::Busy;
  return MarkTake::Failed;
}

void ReleaseMark(Mark* mark) {
  if (!mark->taken) return;
  ::ReleaseMutex(mark->mutex);
  mark->taken = false;
}

void CloseMark(Mark* mark) {
  if (!mark) return;
  ReleaseMark(mark);
  ::CloseHandle(mark->mutex);
  delete mark;
}

}  // namespace plat
