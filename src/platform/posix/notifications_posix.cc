#include "platform/posix/notifications.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/xdg.h"

namespace plat {

namespace {

const char kIconName[] = "kelvo-upgrader";

bool IsFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Asks the bus daemon a question about a name; false when it can't answer.
bool AskBus(sd_bus* bus, const char* method, bool* answer) {
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
                             nullptr, &reply, method[0] == 'N' ? "s" : "", kNotificationsName);
  if (r >= 0 && method[0] == 'N') {
    int has = 0;
    r = sd_bus_message_read(reply, "b", &has);
    *answer = r >= 0 && has;
  } else if (r >= 0) {
    // ListActivatableNames: the services the bus can start.
    *answer = false;
    r = sd_bus_message_enter_container(reply, 'a', "s");
    const char* name = nullptr;
    while (r > 0 && (r = sd_bus_message_read(reply, "s", &name)) > 0) {
      if (std::strcmp(name, kNotificationsName) == 0) *answer = true;
    }
  }
  sd_bus_message_unref(reply);
  return r >= 0;
}

// Who owns the notification service now (a unique name such as ":1.42"),
// empty when nobody does.
std::string ServiceOwner(sd_bus* bus) {
  sd_bus_message* reply = nullptr;
  const char* owner = nullptr;
  std::string result;
  if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "GetNameOwner", nullptr, &reply, "s", kNotificationsName) >= 0 &&
      sd_bus_message_read(reply, "s", &owner) >= 0 && owner) {
    result = owner;
  }
  sd_bus_message_unref(reply);
  return result;
}

std::string MemoryPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || runtime[0] != '/') return std::string();
  return std::string(runtime) + "/kelvo-upgrader-notification";
}

}  // namespace

uint32_t LastNotification(sd_bus* bus) {
  std::string path = MemoryPath();
  if (path.empty()) return 0;
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[128] = {};
  ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return 0;
  char owner[100] = {};
  unsigned long id = 0;
  if (std::sscanf(text, "%99s %lu", owner, &id) != 2 || id == 0 || id > UINT32_MAX) return 0;
  return ServiceOwner(bus) == owner ? static_cast<uint32_t>(id) : 0;
}

void RememberNotification(sd_bus* bus, uint32_t id) {
  std::string path = MemoryPath();
  std::string owner = ServiceOwner(bus);
  if (path.empty() || owner.empty()) return;
  std::string text = owner + " " + std::to_string(id) + "\n";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;
  ssize_t written = ::write(fd, text.data(), text.size());
  (void)written;  // a memory that couldn't be kept only costs a second notification
  ::close(fd);
}

std::string NotificationIcon() {
  std::string data = XdgBaseFolder("XDG_DATA_HOME", ".local/share");
  if (!data.empty()) {
    std::string user = data + "/icons/hicolor/scalable/apps/" + kIconName + ".svg";
    if (IsFile(user)) return user;
  }
  return kIconName;
}

bool NotificationServiceThere(sd_bus* bus) {
  bool there = false;
  if (AskBus(bus, "NameHasOwner", &there) && there) return true;
  return AskBus(bus, "ListActivatableNames", &there) && there;
}

}  // namespace plat
