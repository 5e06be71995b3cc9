// What the Linux backends share for org.freedesktop.Notifications on the
// session bus: the names, and the icon to give.
#pragma once
#include <systemd/sd-bus.h>

#include <cstdint>
#include <string>

namespace plat {

constexpr const char kNotificationsName[] = "org.freedesktop.Notifications";
constexpr const char kNotificationsPath[] = "/org/freedesktop/Notifications";
// Our desktop entry (kelvo-upgrader.desktop), for the "desktop-entry" hint.
constexpr const char kNotificationsDesktopEntry[] = "kelvo-upgrader";
constexpr unsigned char kUrgencyNormal = 1;
constexpr unsigned char kUrgencyCritical = 2;

// The app_icon to give: the path of the user's copy of our icon when
// "register" put one into the user's hicolor folder, which has no index.theme
// of its own (dunst, for one, finds a named icon only in a folder that has
// one; a path works on every server), otherwise the name the packages install
// it under.
std::string NotificationIcon();

// Whether a notification service runs on the bus, or the bus would start one
// for a call. Asks the bus only, never the service, so it answers at once
// even when the service is stopped.
bool NotificationServiceThere(sd_bus* bus);

// Our newest notification on the server that runs now, or 0: what a run
// before left on screen (an outcome never expires) is replaced, not stacked
// beside or, on servers that show one at a time, queued behind. Kept in
// $XDG_RUNTIME_DIR with the server's unique bus name, which the bus never
// gives again, so an id from a server since restarted is never taken for
// ours.
uint32_t LastNotification(sd_bus* bus);
void RememberNotification(sd_bus* bus, uint32_t id);

}  // namespace plat
