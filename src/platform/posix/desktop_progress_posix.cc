// Progress as a desktop notification: org.freedesktop.Notifications on the
// session bus, through sd-bus. One notification, replaced in place
// (replaces_id): each job's progress takes the place of the job before, also
// of the last one a run before left (notifications.h), so a second upload
// never shows beside or behind an earlier outcome.
//
// What servers make of it differs, and the words must be readable on all:
// - the standard "value" hint is drawn as a bar beside the text by dunst, but
//   xfce4-notifyd draws a notification that carries it as a bar alone, with
//   neither summary nor body; the percentage is in the text anyway, so the
//   hint goes only to servers known to draw it beside the text;
// - urgency critical is drawn as an alarm (dunst: red), so it is kept for a
//   failure; the progress and the success are normal;
// - servers expire a notification after a few seconds unless asked not to:
//   every showing asks for none (expire_timeout 0), so the outcome is still
//   there for someone who comes back to the PC.
//
// Calls block the progress thread (never the caller's) until the server
// answers, however late: a server that answers the first showing only after
// seconds still gives its id, and every later showing replaces that one
// notification. A server that never answers holds only that thread.
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/desktop_progress_view.h"
#include "platform/posix/notifications.h"

namespace plat {

struct DesktopProgressShown {
  int unused = 0;
};

namespace {

// Servers (their GetServerInformation name) that draw the "value" hint as a
// bar beside the summary and body.
const char* const kServersWithBarBesideText[] = {"dunst"};
// No time-out on our side: a late answer still brings the id.
constexpr uint64_t kWaitForever = UINT64_MAX;

// The connection and our notification's id, kept from job to job; used by
// the progress thread only.
struct Connection {
  sd_bus* bus = nullptr;
  uint32_t id = 0;  // the server's id for our notification, 0 before the first
  bool bar = false;  // the server draws "value" beside the text
  std::string icon;
};
Connection* connection = nullptr;

// Asks the server its name; false when there is no notification service.
bool AskServer(Connection* c) {
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int r = sd_bus_call_method(c->bus, kNotificationsName, kNotificationsPath, kNotificationsName,
                             "GetServerInformation", &error, &reply, "");
  const char* name = nullptr;
  if (r >= 0) r = sd_bus_message_read(reply, "s", &name);
  if (r >= 0 && name) {
    for (const char* known : kServersWithBarBesideText) {
      if (std::strcmp(name, known) == 0) c->bar = true;
    }
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  return r >= 0;
}

int AppendHints(sd_bus_message* m, const DesktopProgressView& view, bool bar) {
  int r = sd_bus_message_open_container(m, 'a', "{sv}");
  if (r < 0) return r;
  // The bar: full with the news that the robot took the image, gone with a
  // failure.
  if (bar && !(view.ended && view.failed)) {
    int32_t value = view.ended ? 100 : static_cast<int32_t>(view.percent);
    r = sd_bus_message_append(m, "{sv}", "value", "i", value);
    if (r < 0) return r;
  }
  r = sd_bus_message_append(m, "{sv}", "desktop-entry", "s", kNotificationsDesktopEntry);
  if (r < 0) return r;
  // An alarm only for a failure: a normal upload is nothing to be alarmed at.
  uint8_t urgency = view.ended && view.failed ? kUrgencyCritical : kUrgencyNormal;
  r = sd_bus_message_append(m, "{sv}", "urgency", "y", urgency);
  if (r < 0) return r;
  return sd_bus_message_close_container(m);
}

void Disconnect() {
  if (!connection) return;
  sd_bus_flush_close_unref(connection->bus);
  delete connection;
  connection = nullptr;
}

}  // namespace

DesktopProgressShown* OpenDesktopProgress() {
  if (!connection) {
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) return nullptr;
    sd_bus_set_method_call_timeout(bus, kWaitForever);
    connection = new Connection;
    connection->bus = bus;
    connection->icon = NotificationIcon();
    // The bus answers this at once; the server itself may take its time.
    if (!NotificationServiceThere(bus) || !AskServer(connection)) {
      Disconnect();
      return nullptr;
    }
    connection->id = LastNotification(bus);
  }
  return new DesktopProgressShown;
}

bool ShowDesktopProgress(DesktopProgressShown*, const DesktopProgressView& view) {
  if (!connection) return false;
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int r = sd_bus_message_new_method_call(connection->bus, &call, kNotificationsName, kNotificationsPath,
                                         kNotificationsName, "Notify");
  // app_name, replaces_id, app_icon, summary, body, actions (none), hints,
  // expire_timeout (0: never).
  if (r >= 0) {
    r = sd_bus_message_append(call, "susss", view.title.c_str(), connection->id, connection->icon.c_str(),
                              view.title.c_str(), view.text.c_str());
  }
  if (r >= 0) r = sd_bus_message_append(call, "as", 0);
  if (r >= 0) r = AppendHints(call, view, connection->bar);
  if (r >= 0) r = sd_bus_message_append(call, "i", 0);
  if (r >= 0) r = sd_bus_call(connection->bus, call, kWaitForever, &error, &reply);
  uint32_t id = 0;
  if (r >= 0) r = sd_bus_message_read(reply, "u", &id);
  if (r >= 0 && id != 0 && id != connection->id) {
    // A server gives a new id when ours is gone (the person closed it):
    // only the newest counts.
    connection->id = id;
    RememberNotification(connection->bus, id);
  }
  bool lost = r == -ECONNRESET || r == -ENOTCONN || r == -EPIPE;
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);
  if (lost) Disconnect();
  return r >= 0;
}

void CloseDesktopProgress(DesktopProgressShown* shown) {
  // The notification stays: the next job replaces it, and the last outcome
  // stays on screen after the process.
  delete shown;
}

}  // namespace plat
