// Progress as a desktop notification: org.freedesktop.Notifications on the
// session bus, through sd-bus. One notification per job, replaced in place
// (replaces_id), with the standard "value" hint that servers such as dunst
// and xfce4-notifyd draw as a bar; GNOME shows the text only.
#include <systemd/sd-bus.h>

#include <cstdint>

#include "platform/desktop_progress_view.h"

namespace plat {

struct DesktopProgressShown {
  sd_bus* bus = nullptr;
  uint32_t id = 0;  // the server's id for our notification, 0 before the first
};

namespace {

// Our desktop entry (kelvo-upgrader.desktop) and the icon it names.
const char kDesktopEntry[] = "kelvo-upgrader";
const char kIcon[] = "kelvo-upgrader";
// A server that takes longer than this is given up on for this showing.
constexpr uint64_t kCallTimeoutUsec = 2 * 1000 * 1000;
// urgency 2 (critical): the notification stays until replaced or dismissed.
constexpr uint8_t kUrgencyNormal = 1;
constexpr uint8_t kUrgencyCritical = 2;

int AppendHints(sd_bus_message* m, const DesktopProgressView& view) {
  int r = sd_bus_message_open_container(m, 'a', "{sv}");
  if (r < 0) return r;
  // The bar: full with the news that the robot took the image, gone with a
  // failure.
  if (!view.ended || !view.failed) {
    int32_t value = view.ended ? 100 : static_cast<int32_t>(view.percent);
    r = sd_bus_message_append(m, "{sv}", "value", "i", value);
    if (r < 0) return r;
  }
  r = sd_bus_message_append(m, "{sv}", "desktop-entry", "s", kDesktopEntry);
  if (r < 0) return r;
  // While the robot must not be unplugged, and after a failure, the
  // notification must not time out or be folded away unseen.
  uint8_t urgency = view.ended && !view.failed ? kUrgencyNormal : kUrgencyCritical;
  r = sd_bus_message_append(m, "{sv}", "urgency", "y", urgency);
  if (r < 0) return r;
  return sd_bus_message_close_container(m);
}

}  // namespace

DesktopProgressShown* OpenDesktopProgress() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return nullptr;
  sd_bus_set_method_call_timeout(bus, kCallTimeoutUsec);
  DesktopProgressShown* shown = new DesktopProgressShown;
  shown->bus = bus;
  return shown;
}

bool ShowDesktopProgress(DesktopProgressShown* shown, const DesktopProgressView& view) {
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int r = sd_bus_message_new_method_call(shown->bus, &call, "org.freedesktop.Notifications",
                                         "/org/freedesktop/Notifications",
                                         "org.freedesktop.Notifications", "Notify");
  // app_name, replaces_id, app_icon, summary, body, actions (none), hints,
  // expire_timeout (0: never; -1: the server's choice, for a success).
  if (r >= 0) {
    r = sd_bus_message_append(call, "susss", view.title.c_str(), shown->id, kIcon, view.title.c_str(),
                              view.text.c_str());
  }
  if (r >= 0) r = sd_bus_message_append(call, "as", 0);
  if (r >= 0) r = AppendHints(call, view);
  if (r >= 0) r = sd_bus_message_append(call, "i", view.ended && !view.failed ? -1 : 0);
  if (r >= 0) r = sd_bus_call(shown->bus, call, kCallTimeoutUsec, &error, &reply);
  uint32_t id = 0;
  if (r >= 0) r = sd_bus_message_read(reply, "u", &id);
  if (r >= 0 && id != 0) shown->id = id;
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);
  return r >= 0;
}

void CloseDesktopProgress(DesktopProgressShown* shown) {
  sd_bus_flush_close_unref(shown->bus);
  delete shown;
}

}  // namespace plat
