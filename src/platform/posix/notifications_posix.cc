#include "platform/posix/notifications.h"

#include <sys/stat.h>

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

}  // namespace

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
