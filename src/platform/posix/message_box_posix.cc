// The two failures that must reach a person go, on Linux, to standard error
// (for a terminal) and to the desktop: a notification kept until it is
// dismissed, or where no notification service runs, a dialog of the
// desktop's own. Neither is waited for: with nobody at the PC the run must
// still end, and the dialog stays after it.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/message_box.h"
#include "platform/posix/notifications.h"

namespace plat {

namespace {

// Sends the notification without waiting for the server's answer: the bus
// daemon holds it for a server that is slow or still starting.
bool Notify(const char* caption, const char* text) {
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return false;
  bool sent = false;
  if (NotificationServiceThere(bus)) {
    sd_bus_message* call = nullptr;
    std::string icon = NotificationIcon();
    int r = sd_bus_message_new_method_call(bus, &call, kNotificationsName, kNotificationsPath, kNotificationsName,
                                           "Notify");
    // In place of what an upload left on screen: notification-daemon, for
    // one, would show this only once that had been dismissed.
    uint32_t previous = LastNotification(bus);
    if (r >= 0) r = sd_bus_message_append(call, "susss", caption, previous, icon.c_str(), caption, text);
    if (r >= 0) r = sd_bus_message_append(call, "as", 0);
    if (r >= 0) {
      r = sd_bus_message_append(call, "a{sv}", 2, "urgency", "y", kUrgencyCritical, "desktop-entry", "s",
                                kNotificationsDesktopEntry);
    }
    if (r >= 0) r = sd_bus_message_append(call, "i", 0);  // never expires
    if (r >= 0) r = sd_bus_message_set_expect_reply(call, 0);
    if (r >= 0) r = sd_bus_send(bus, call, nullptr);
    if (r >= 0) r = sd_bus_flush(bus);
    sent = r >= 0;
    sd_bus_message_unref(call);
  }
  sd_bus_flush_close_unref(bus);
  return sent;
}

// The first of these found on PATH shows the dialog: GNOME's and Xfce's
// (zenity), KDE's (kdialog), and X's own, which every X desktop has (xmessage).
std::vector<std::string> DialogCommand(const char* caption, const char* text) {
  const char* path = std::getenv("PATH");
  std::string folders = path && *path ? path : "/usr/bin:/bin";
  const char* const tools[] = {"zenity", "kdialog", "xmessage"};
  for (const char* tool : tools) {
    size_t at = 0;
    while (at <= folders.size()) {
      size_t end = folders.find(':', at);
      if (end == std::string::npos) end = folders.size();
      std::string program = folders.substr(at, end - at) + "/" + tool;
      at = end + 1;
      if (program[0] != '/' || ::access(program.c_str(), X_OK) != 0) continue;
      std::string name = tool;
      if (name == "zenity") return {program, "--error", "--no-markup", "--title", caption, "--text", text};
      if (name == "kdialog") return {program, "--title", caption, "--error", text};
      return {program, "-center", "-title", caption, "-buttons", "OK:0", "-default", "OK", text};
    }
  }
  return {};
}

// Starts the dialog as a process of its own that outlives ours: the child
// starts it and ends at once, so nothing is left to wait for.
void ShowDialog(const char* caption, const char* text) {
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (!(x && *x) && !(wayland && *wayland)) return;
  std::vector<std::string> command = DialogCommand(caption, text);
  if (command.empty()) return;
  std::vector<char*> argv;
  for (std::string& word : command) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  // Only async-signal-safe calls after fork: another thread may hold locks.
  pid_t child = ::fork();
  if (child == 0) {
    ::setsid();
    if (::fork() == 0) {
      int null = ::open("/dev/null", O_RDWR);
      if (null >= 0) {
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
      }
      ::execv(argv[0], argv.data());
    }
    ::_exit(0);
  }
  if (child > 0) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

}  // namespace

void ShowMessageBox(const char* caption, const char* text) {
  std::fprintf(stderr, "%s: %s\n", caption, text);
  std::fflush(stderr);
  if (!Notify(caption, text)) ShowDialog(caption, text);
}

}  // namespace plat
