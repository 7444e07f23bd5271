"""The test suite's own X client: top-level windows with known titles, types,
owners and colours, and a stand-in window manager, made with python-xlib on
a connection of its own (so that the module sees them as another client's).
"""

import os

from Xlib import X, Xatom, display


class XClient:
    def __init__(self):
        self.display = display.Display()
        self.screen = self.display.screen()
        self.root = self.screen.root
        self.windows = []

    def atom(self, name):
        return self.display.intern_atom(name)

    def window(self, title=None, *, color=0x808080, x=0, y=0, width=160, height=120,
               pid=None, types=(), latin1_title=None, mapped=True, parent=None):
        """A window filled with `color` (0xRRGGBB). `pid` defaults to another
        process than this one; `title` goes into _NET_WM_NAME as UTF-8,
        `latin1_title` into WM_NAME as STRING."""
        window = (parent or self.root).create_window(
            x, y, width, height, 0, self.screen.root_depth, X.InputOutput, X.CopyFromParent,
            background_pixel=color, event_mask=X.ExposureMask)
        if title is not None:
            window.change_property(self.atom("_NET_WM_NAME"), self.atom("UTF8_STRING"), 8,
                                   title.encode("utf-8"))
        if latin1_title is not None:
            window.change_property(Xatom.WM_NAME, Xatom.STRING, 8, latin1_title.encode("latin-1"))
        window.change_property(self.atom("_NET_WM_PID"), Xatom.CARDINAL, 32,
                               [os.getppid() if pid is None else pid])
        if types:
            window.change_property(self.atom("_NET_WM_WINDOW_TYPE"), Xatom.ATOM, 32,
                                   [self.atom("_NET_WM_WINDOW_TYPE_" + t.upper()) for t in types])
        if mapped:
            window.map()
        self.windows.append(window)
        self.sync()
        return window

    def paint(self, window, color):
        window.change_attributes(background_pixel=color)
        window.clear_area()
        self.sync()

    def set_wm_state(self, window):
        window.change_property(self.atom("WM_STATE"), self.atom("WM_STATE"), 32, [1, 0])
        self.sync()

    def focus(self, window):
        self.display.set_input_focus(window, X.RevertToPointerRoot, X.CurrentTime)
        self.sync()

    def window_manager(self, clients, active=None, alive=True):
        """Root properties as a running manager leaves them; with `alive`
        False the check window is gone, as after a manager was killed."""
        check = self.root.create_window(-10, -10, 1, 1, 0, self.screen.root_depth)
        wm_check = self.atom("_NET_SUPPORTING_WM_CHECK")
        check.change_property(wm_check, Xatom.WINDOW, 32, [check.id])
        self.root.change_property(wm_check, Xatom.WINDOW, 32, [check.id])
        self.root.change_property(self.atom("_NET_CLIENT_LIST"), Xatom.WINDOW, 32,
                                  [c.id for c in clients])
        if active is not None:
            self.root.change_property(self.atom("_NET_ACTIVE_WINDOW"), Xatom.WINDOW, 32,
                                      [active.id])
        if not alive:
            check.destroy()
        self.sync()

    def sync(self):
        self.display.sync()

    def close(self):
        for name in ("_NET_SUPPORTING_WM_CHECK", "_NET_CLIENT_LIST", "_NET_ACTIVE_WINDOW"):
            self.root.delete_property(self.atom(name))
        self.display.set_input_focus(X.PointerRoot, X.RevertToPointerRoot, X.CurrentTime)
        self.display.close()
