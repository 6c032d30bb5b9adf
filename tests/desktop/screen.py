# SPDX-License-Identifier: GPL-3.0-or-later
"""The X display: connecting, the top-level windows, focus, closing a
window as a window manager does, and screenshots."""
import numpy as np

from .children import Failure


def connect(display_name=None, quiet=False):
    """The display (DISPLAY when None); Failure when there is none.  quiet:
    errors about windows that went away meanwhile are not printed."""
    from Xlib import display, error
    try:
        d = display.Display(display_name)
    except (error.DisplayError, error.ConnectionClosedError, OSError) as e:
        raise Failure("no X display %s: %s" % (display_name or "", e))
    if quiet:
        d.set_error_handler(lambda *_: None)
    return d


class Screen:
    def __init__(self, d):
        from Xlib import X
        self.d, self.X = d, X
        self.root = d.screen().root
        self.a_name = d.intern_atom("_NET_WM_NAME")
        self.a_utf8 = d.intern_atom("UTF8_STRING")
        self.a_pid = d.intern_atom("_NET_WM_PID")
        self.a_protocols = d.intern_atom("WM_PROTOCOLS")
        self.a_delete = d.intern_atom("WM_DELETE_WINDOW")

    def windows(self):
        """Mapped top-level windows: dicts with win, id, title (_NET_WM_NAME,
        else WM_NAME), wm_name (WM_NAME), pid, x, y, w, h and override (override-redirect: menus, tooltips, some splashes)."""
        from Xlib.error import XError
        out = []
        for win in self.root.query_tree().children:
            try:
                a = win.get_attributes()
                if a.map_state != self.X.IsViewable:
                    continue
                g = win.get_geometry()
                prop = win.get_full_property(self.a_name, self.a_utf8)
                title = prop.value.decode("utf-8", "replace") if prop else (win.get_wm_name() or "")
                if isinstance(title, bytes):
                    title = title.decode("latin-1")
                pid = win.get_full_property(self.a_pid, self.X.AnyPropertyType)
                wm_name = win.get_wm_name()
                if isinstance(wm_name, bytes):
                    wm_name = wm_name.decode("latin-1")
                out.append(dict(win=win, id=win.id, title=title, wm_name=wm_name or "",
                                pid=int(pid.value[0]) if pid else None,
                                x=g.x, y=g.y, w=g.width, h=g.height, override=bool(a.override_redirect)))
            except XError:
                continue   # went away meanwhile
        return out

    def find(self, title=None, pid=None):
        """The first window whose WM_NAME is title (any when None;
        override-redirect ones only then) of process pid (any when None),
        larger than 1 x 1."""
        for w in self.windows():
            if title is not None and (w["override"] or w["wm_name"] != title):
                continue
            if pid is not None and w["pid"] != pid:
                continue
            if w["w"] > 1 and w["h"] > 1:
                return w
        return None

    def focus(self, win):
        win.set_input_focus(self.X.RevertToPointerRoot, self.X.CurrentTime)
        self.d.sync()
        return self.d.get_input_focus().focus.id == win.id

    def close(self, win):
        """What a window manager does when the user closes a window."""
        from Xlib import protocol
        ev = protocol.event.ClientMessage(window=win, client_type=self.a_protocols,
                                          data=(32, [self.a_delete, self.X.CurrentTime, 0, 0, 0]))
        win.send_event(ev, event_mask=0)
        self.d.sync()

    def grab(self, x, y, w, h):
        """RGB pixels of a screen rectangle, as a numpy array (h, w, 3)."""
        img = self.root.get_image(x, y, w, h, self.X.ZPixmap, 0xFFFFFFFF)
        a = np.frombuffer(img.data, dtype=np.uint8).reshape(h, w, 4)
        return a[:, :, 2::-1].copy()   # BGRX -> RGB


def save_png(path, rgb):
    from PIL import Image
    Image.fromarray(rgb).save(path)
