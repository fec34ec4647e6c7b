// send_close_request WINDOW: asks an X11 window to close, as a window manager's close box does
// (a WM_PROTOCOLS client message carrying WM_DELETE_WINDOW). Exit status 0 when sent.

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

xcb_atom_t atom(xcb_connection_t* connection, const char* name) {
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
      connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
  if (reply == nullptr) return XCB_ATOM_NONE;
  const xcb_atom_t value = reply->atom;
  std::free(reply);
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const auto window = static_cast<xcb_window_t>(std::stoul(argv[1], nullptr, 0));
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(connection) != 0) return 1;

  xcb_client_message_event_t message{};
  message.response_type = XCB_CLIENT_MESSAGE;
  message.format = 32;
  message.window = window;
  message.type = atom(connection, "WM_PROTOCOLS");
  message.data.data32[0] = atom(connection, "WM_DELETE_WINDOW");
  message.data.data32[1] = XCB_CURRENT_TIME;
  const xcb_void_cookie_t sent = xcb_send_event_checked(connection, 0, window, XCB_EVENT_MASK_NO_EVENT,
                                                        reinterpret_cast<const char*>(&message));
  xcb_generic_error_t* error = xcb_request_check(connection, sent);
  const int status = error == nullptr ? 0 : 1;
  std::free(error);
  xcb_disconnect(connection);
  return status;
}
