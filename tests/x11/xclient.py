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

    def noise(self, x, y, width, height, seed=0):
        """Draws random pixels over the root window's rectangle, in strips
        that fit a request without BIG-REQUESTS."""
        import numpy as np
        pixels = np.random.default_rng(seed).integers(0, 256, (height, width, 4), np.uint8)
        gc = self.root.create_gc()
        rows = max(1, 60000 // width)
        for top in range(0, height, rows):
            strip = pixels[top:top + rows]
            self.root.put_image(gc, x, y + top, width, len(strip), X.ZPixmap,
                                self.screen.root_depth, 0, strip.tobytes())
        gc.free()
        self.sync()

    def read(self, x, y, width, height):
        """The root window's rectangle as R, G, B, A rows (alpha 255), read
        on this connection: an independent view of what the server shows."""
        import numpy as np
        image = self.root.get_image(x, y, width, height, X.ZPixmap, 0xFFFFFFFF)
        bgrx = np.frombuffer(image.data, np.uint8).reshape(height, width, 4)
        rgba = bgrx[..., [2, 1, 0, 3]].copy()
        rgba[..., 3] = 255
        return rgba

    def sync(self):
        self.display.sync()

    def close(self):
        for name in ("_NET_SUPPORTING_WM_CHECK", "_NET_CLIENT_LIST", "_NET_ACTIVE_WINDOW"):
            self.root.delete_property(self.atom(name))
        self.display.set_input_focus(X.PointerRoot, X.RevertToPointerRoot, X.CurrentTime)
        self.display.close()
