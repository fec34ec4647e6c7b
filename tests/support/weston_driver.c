// A weston module for the tests: it lets a test see the desktop's one application window as
// the compositor sees it, press on it with a pointer of the module's own, and send it states
// the way a compositor's own controls would. The headless backend has no input device, so
// the module brings one.
//
// Loaded with `weston --modules=<this module>`; it listens on the Unix socket named by the
// environment variable WESTON_DRIVER_SOCKET. Each request is one line, each answer one line:
//   window            "<x> <y> <width> <height> <maximized> <fullscreen> <app id>" of the
//                     window's geometry on the output, its states (0 or 1) and its app id,
//                     or "none"
//   configured        "<maximized> <fullscreen>": whether the compositor has configured a
//                     window in each state (0 or 1) since the last "configured"
//   click <x> <y>     presses and releases the left button at that point of the window
//                     geometry, as a user's click; "ok", or "none" without a window
//   fullscreen        the compositor configures the window full screen, at the output's size

#define _GNU_SOURCE

#include <libweston/libweston.h>
#include <libweston-desktop/libweston-desktop.h>

#include <linux/input-event-codes.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#include <wayland-server.h>

// libweston exports its input entry points to backends without installing their header
// (backend.h); these are their declarations in libweston 10, the version this module builds
// against (the major version is part of the library's name, so another cannot load it).
void notify_motion_absolute(struct weston_seat *seat, const struct timespec *time, double x, double y);
void notify_button(struct weston_seat *seat, const struct timespec *time, int32_t button,
                   enum wl_pointer_button_state state);
void notify_pointer_frame(struct weston_seat *seat);
void weston_seat_init(struct weston_seat *seat, struct weston_compositor *compositor, const char *name);
int weston_seat_init_pointer(struct weston_seat *seat);

struct driver {
  struct weston_compositor *compositor;
  struct weston_seat seat;
  int listener;
  struct wl_event_source *accepting;
  bool configured_maximized;
  bool configured_fullscreen;
};

// The states of xdg_toplevel.configure, as xdg-shell numbers them.
enum { XDG_TOPLEVEL_STATE_MAXIMIZED = 1, XDG_TOPLEVEL_STATE_FULLSCREEN = 2 };

struct connection {
  struct driver *driver;
  int fd;
  struct wl_event_source *reading;
  char line[256];
  size_t length;
};

// The one application window: the first view of a desktop surface, or NULL.
static struct weston_view *application_view(struct driver *driver) {
  struct weston_view *view;
  wl_list_for_each(view, &driver->compositor->view_list, link) {
    if (weston_surface_is_desktop_surface(view->surface)) return view;
  }
  return NULL;
}

// Every event the compositor sends: a configure of a toplevel in a state is the compositor
// giving the window that state.
static void protocol_message(void *data, enum wl_protocol_logger_type type, const struct wl_protocol_logger_message *message) {
  struct driver *driver = data;
  if (type != WL_PROTOCOL_LOGGER_EVENT || strcmp(wl_resource_get_class(message->resource), "xdg_toplevel") != 0 ||
      strcmp(message->message->name, "configure") != 0 || message->arguments_count < 3) {
    return;
  }
  const struct wl_array *states = message->arguments[2].a;
  const uint32_t *state;
  wl_array_for_each(state, states) {
    if (*state == XDG_TOPLEVEL_STATE_MAXIMIZED) driver->configured_maximized = true;
    if (*state == XDG_TOPLEVEL_STATE_FULLSCREEN) driver->configured_fullscreen = true;
  }
}

static struct weston_output *first_output(struct driver *driver) {
  struct weston_output *output;
  wl_list_for_each(output, &driver->compositor->output_list, link) return output;
  return NULL;
}

static void reply(struct connection *connection, const char *text) {
  size_t left = strlen(text);
  while (left > 0) {
    ssize_t written = write(connection->fd, text, left);
    if (written <= 0) return;
    text += written;
    left -= (size_t)written;
  }
}

static void press(struct driver *driver, double x, double y) {
  struct timespec now;
  weston_compositor_get_time(&now);
  notify_motion_absolute(&driver->seat, &now, x, y);
  notify_pointer_frame(&driver->seat);
  notify_button(&driver->seat, &now, BTN_LEFT, WL_POINTER_BUTTON_STATE_PRESSED);
  notify_pointer_frame(&driver->seat);
  weston_compositor_get_time(&now);
  notify_button(&driver->seat, &now, BTN_LEFT, WL_POINTER_BUTTON_STATE_RELEASED);
  notify_pointer_frame(&driver->seat);
}

// A full-screen state may be smaller than the output; a maximised one must be the size the
// compositor gives, which a fixed-size Qt 6.4 window cannot take unless it asked for it.
static void fullscreen(struct driver *driver, struct weston_desktop_surface *surface) {
  struct weston_output *output = first_output(driver);
  weston_desktop_surface_set_fullscreen(surface, true);
  if (output != NULL) weston_desktop_surface_set_size(surface, output->width, output->height);
}

static void answer(struct connection *connection, const char *request) {
  struct driver *driver = connection->driver;
  char text[160];
  if (strcmp(request, "configured") == 0) {
    snprintf(text, sizeof text, "%d %d\n", driver->configured_maximized ? 1 : 0, driver->configured_fullscreen ? 1 : 0);
    driver->configured_maximized = false;
    driver->configured_fullscreen = false;
    reply(connection, text);
    return;
  }
  struct weston_view *view = application_view(driver);
  if (view == NULL) {
    reply(connection, "none\n");
    return;
  }
  struct weston_desktop_surface *surface = weston_surface_get_desktop_surface(view->surface);
  struct weston_geometry geometry = weston_desktop_surface_get_geometry(surface);
  float left, top;
  weston_view_to_global_float(view, (float)geometry.x, (float)geometry.y, &left, &top);
  double x, y;
  if (strcmp(request, "window") == 0) {
    const char *app_id = weston_desktop_surface_get_app_id(surface);
    snprintf(text, sizeof text, "%d %d %d %d %d %d %s\n", (int)left, (int)top, geometry.width, geometry.height,
             weston_desktop_surface_get_maximized(surface) ? 1 : 0,
             weston_desktop_surface_get_fullscreen(surface) ? 1 : 0, app_id != NULL ? app_id : "");
    reply(connection, text);

  } else if (sscanf(request, "click %lf %lf", &x, &y) == 2) {
    press(driver, left + x, top + y);
    reply(connection, "ok\n");
  } else if (strcmp(request, "fullscreen") == 0) {
    fullscreen(driver, surface);
    reply(connection, "ok\n");
  } else {
    reply(connection, "unknown\n");
  }
}

static int read_requests(int fd, uint32_t mask, void *data) {
  struct connection *connection = data;
  ssize_t got = read(fd, connection->line + connection->length, sizeof connection->line - 1 - connection->length);
  if (got <= 0 || (mask & (WL_EVENT_HANGUP | WL_EVENT_ERROR)) != 0) {
    wl_event_source_remove(connection->reading);
    close(connection->fd);
    free(connection);
    return 0;
  }
  connection->length += (size_t)got;
  connection->line[connection->length] = '\0';
  char *end;
  while ((end = strchr(connection->line, '\n')) != NULL) {
    *end = '\0';
    answer(connection, connection->line);
    size_t rest = connection->length - (size_t)(end + 1 - connection->line);
    memmove(connection->line, end + 1, rest);
    connection->length = rest;
    connection->line[rest] = '\0';
  }
  // A line longer than the buffer is no request of ours: drop it.
  if (connection->length == sizeof connection->line - 1) connection->length = 0;
  return 0;
}

static int accept_connection(int fd, uint32_t mask, void *data) {
  (void)mask;
  struct driver *driver = data;
  int accepted = accept4(fd, NULL, NULL, SOCK_CLOEXEC);
  if (accepted < 0) return 0;
  struct connection *connection = calloc(1, sizeof *connection);
  if (connection == NULL) {
    close(accepted);
    return 0;
  }
  connection->driver = driver;
  connection->fd = accepted;
  connection->reading = wl_event_loop_add_fd(wl_display_get_event_loop(driver->compositor->wl_display), accepted,
                                             WL_EVENT_READABLE, read_requests, connection);
  return 0;
}

WL_EXPORT int wet_module_init(struct weston_compositor *compositor, int *argc, char *argv[]) {
  (void)argc;
  (void)argv;
  const char *path = getenv("WESTON_DRIVER_SOCKET");
  struct sockaddr_un address = {.sun_family = AF_UNIX};
  if (path == NULL || strlen(path) >= sizeof address.sun_path) return -1;
  strcpy(address.sun_path, path);

  struct driver *driver = calloc(1, sizeof *driver);
  if (driver == NULL) return -1;
  driver->compositor = compositor;
  weston_seat_init(&driver->seat, compositor, "driver");
  weston_seat_init_pointer(&driver->seat);
  wl_display_add_protocol_logger(compositor->wl_display, protocol_message, driver);

  driver->listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (driver->listener < 0 || bind(driver->listener, (struct sockaddr *)&address, sizeof address) != 0 ||
      listen(driver->listener, 4) != 0) {
    return -1;
  }
  driver->accepting = wl_event_loop_add_fd(wl_display_get_event_loop(compositor->wl_display), driver->listener,
                                           WL_EVENT_READABLE, accept_connection, driver);
  return 0;
}
