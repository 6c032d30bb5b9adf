// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/desktop/x11_keyboard.h"

#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>

#include <xcb/xcb.h>
// xcb's XKB header is C and names a field "explicit".
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

namespace platform {

bool UseDetectableAutoRepeat() {
#if QT_CONFIG(xcb)
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
  if (!connection) return false;

  // The XKB extension has to be enabled on a connection before any of its
  // requests; Qt has done so on its own, and asking again is harmless.
  xcb_xkb_use_extension_reply_t* use = xcb_xkb_use_extension_reply(
      connection, xcb_xkb_use_extension(connection, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION),
      nullptr);
  const bool supported = use && use->supported;
  std::free(use);
  const auto refused = [] {
    std::fprintf(stderr,
                 "plinkora: the X server does not leave out the releases of repeated keys; "
                 "on a busy machine a held recorder key may act more than once\n");
    return false;
  };
  if (!supported) return refused();

  constexpr uint32_t kFlag = XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT;
  xcb_xkb_per_client_flags_reply_t* reply = xcb_xkb_per_client_flags_reply(
      connection,
      xcb_xkb_per_client_flags(connection, XCB_XKB_ID_USE_CORE_KBD, kFlag, kFlag, 0, 0, 0),
      nullptr);
  const bool set = reply && (reply->supported & kFlag) && (reply->value & kFlag);
  std::free(reply);
  return set || refused();
#else
  return false;
#endif
}

}  // namespace platform
