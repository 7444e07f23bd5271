"""Scripts the simulated capture engine of a test build of lumigrab.

What monitors and windows show, when the frames shown have reached the capture
threads, which Direct3D feature level the adapter reaches, and libraries that
serve the capture classes. Faults, the call log and live object counts are
simdesk's (``simdesk.fail``, ``simdesk.calls``, ``simdesk.live_objects``).

Frames
------
Every monitor and window shows an image. Until ``present`` gives it one, a
target shows a default image the size of its capture item: pixel (x, y) is
R = x & 0xFF, G = y & 0xFF, B = 0x80, A = 0xFF, rows without padding. Starting
a capture delivers what its target shows as the first frame; each ``present``
delivers a new frame to every started capture of that target. FrameArrived
runs on the thread that created the pool, inside its DispatchMessageW, so a
frame is in the latest-frame slot only once the capture thread has pumped it;
``wait_delivered()`` waits for that.

Frame pools work as on Windows. A pool made (or remade) with N buffers has at
most N frames outstanding, waiting in the pool or handed out and not yet
released; TryGetNextFrame gives the oldest waiting one. A frame's texture is
one of the pool's buffers: once the frame is closed or released, the pool
writes a later image into that same texture, whoever still holds a reference
to it. An image that arrives while every buffer is held is not captured then;
the latest such image is captured as soon as a buffer comes back. (A buffer
takes the size of the image written into it.)

A minimised or cloaked window (``set_minimized``) delivers no frames, not even
a starting capture's first, until it is restored; then every started capture
of it gets what it shows at that moment.

The immediate context is not thread-safe. The capture runtime enters it on
the pool's thread while it hands out a frame, recreates its buffers or takes a
frame back; two threads inside it at once, without
ID3D11Multithread::SetMultithreadProtected(TRUE), is recorded as a misuse
(``simdesk.misuses()``). ``set_context_dwell`` makes the runtime stay inside
longer, so that such a collision is caught reliably.

Device loss: a fault armed with DXGI_ERROR_DEVICE_REMOVED (0x887A0005),
DXGI_ERROR_DEVICE_HUNG, DXGI_ERROR_DEVICE_RESET (0x887A0007) or
DXGI_ERROR_DRIVER_INTERNAL_ERROR (0x887A0020) on
"ID3D11Device::CreateTexture2D", "ID3D11DeviceContext::Map",
"IDirect3D11CaptureFramePool::Recreate" or
"IDirect3D11CaptureFramePool::TryGetNextFrame" loses that device for good:
every later CreateTexture2D, Map, TryGetNextFrame or Recreate on it fails with
the same code, GetDeviceRemovedReason gives it, and its pools capture nothing
and raise no FrameArrived until recreated on a working device. A texture's
GetDevice gives the device it was made on (a pool's buffers: the pool's).

Dispatcher queues: ShutdownQueueAsync's action completes only when the
queue's thread next dispatches, and then on another thread, so a completion
handler that ends the loop with PostQuitMessage quits the wrong thread. A
thread that stops pumping before that leaves the controller, the action and
its completion handler alive for the rest of the process, counted in the
live objects.

Apartments: releasing a runtime object (any IInspectable one: pool, session,
frame, item, controller, ...) on a thread after that thread's last
RoUninitialize is recorded as a misuse. A staging texture that a frame was
copied into maps with the row pitch the frame was presented with; one that
CopySubresourceRegion filled first maps with rows padded to 256 bytes.

The feature level D3D11CreateDevice obtains is the first one offered that is
not above ``set_feature_level``'s (11_1, 0xB100, unless changed); none of them:
DXGI_ERROR_UNSUPPORTED (0x887A0004).

Apartments: a thread may activate the capture classes after RoInitialize, or
at any time once the process has called CoIncrementMTAUsage; otherwise
RoGetActivationFactory fails with CO_E_NOTINITIALIZED (0x800401F0). Another
class name: REGDB_E_CLASSNOTREG (0x80040154).

``simdesk.reset()`` makes every target show its default image again, the
feature level 11_1, sessions offer both switch interfaces again, the context
dwell 0, the process no multithreaded-apartment user and every thread
uninitialised. Running captures are left alone.

Fault points
------------
"RoInitialize", "CoIncrementMTAUsage",
"RoGetActivationFactory(Windows.Graphics.Capture.GraphicsCaptureItem)",
"RoGetActivationFactory(Windows.Graphics.Capture.Direct3D11CaptureFramePool)",
"CreateDispatcherQueueController", "IDispatcherQueueController::ShutdownQueueAsync",
"IAsyncAction::put_Completed", "D3D11CreateDevice",
"ID3D11Device::QueryInterface(IDXGIDevice)", "CreateDirect3D11DeviceFromDXGIDevice",
"QueryInterface(IDirect3DDevice)", "IGraphicsCaptureItemInterop::CreateForMonitor",
"IGraphicsCaptureItemInterop::CreateForWindow", "IGraphicsCaptureItem::get_Size",
"IDirect3D11CaptureFramePoolStatics::Create",
"IDirect3D11CaptureFramePool::CreateCaptureSession",
"IDirect3D11CaptureFramePool::add_FrameArrived",
"IDirect3D11CaptureFramePool::remove_FrameArrived",
"IDirect3D11CaptureFramePool::TryGetNextFrame", "IDirect3D11CaptureFramePool::Recreate",
"IGraphicsCaptureSession::StartCapture",
"IGraphicsCaptureSession2::put_IsCursorCaptureEnabled",
"IGraphicsCaptureSession3::put_IsBorderRequired", "IClosable::Close(FramePool)",
"IClosable::Close(Session)", "IDirect3D11CaptureFrame::get_ContentSize",
"IDirect3D11CaptureFrame::get_Surface", "QueryInterface(IDirect3DDxgiInterfaceAccess)",
"IDirect3DDxgiInterfaceAccess::GetInterface", "ID3D11Device::CreateTexture2D",
"ID3D11DeviceContext::Map".

A fault is taken before the call does any of its work, which it then skips
(``no_result``: success, with no object and nothing done). A fault on a
QueryInterface point applies only to that interface.

Other failures the engine reports as Windows would: E_INVALIDARG for a gone
or unknown target, a device or item not made here, a pixel format other than
28 or 87, fewer than 1 buffer or a size below 1x1; RO_E_CLOSED (0x80000013)
for calls on a closed pool, session or frame; a second
CreateDispatcherQueueController on a thread whose queue is not shut down
fails with E_ILLEGAL_STATE_CHANGE (0x8000000D); frame pool Create on a thread
without a dispatcher queue with RPC_E_WRONG_THREAD (0x8001010E); a second
StartCapture with E_ILLEGAL_METHOD_CALL (0x8000000E).

Call log
--------
Formats as simdesk describes. Object arguments (devices, items, handlers,
textures) are not logged; handles are. ::

    RoInitialize(1)
    RoUninitialize()
    CoIncrementMTAUsage()
    WindowsCreateString('Windows.Graphics.Capture.GraphicsCaptureItem', 44)
    WindowsDeleteString('Windows.Graphics.Capture.GraphicsCaptureItem')
    RoGetActivationFactory('Windows.Graphics.Capture.GraphicsCaptureItem', IGraphicsCaptureItemInterop)
    DllGetActivationFactory('Windows.Graphics.Capture.GraphicsCaptureItem')
    CreateDispatcherQueueController(dwSize=12, threadType=2, apartmentType=0)
    IDispatcherQueueController::ShutdownQueueAsync()
    IAsyncAction::put_Completed()
    D3D11CreateDevice(NULL, 1, NULL, 0x20, [0xB100, 0xB000, 0xA100, 0xA000, 0x9300, 0x9200, 0x9100], 7, 7)
                      adapter, driver type, software, flags, levels, level count, SDK version
    CreateDirect3D11DeviceFromDXGIDevice()
    IGraphicsCaptureItemInterop::CreateForMonitor(0x10001, IGraphicsCaptureItem)
    IGraphicsCaptureItemInterop::CreateForWindow(0x20001, IGraphicsCaptureItem)
    IGraphicsCaptureItem::get_Size()
    IDirect3D11CaptureFramePoolStatics::Create(28, 1, {1920, 1080}, thread=0x1004)
                      pixel format, buffers, size, the creating thread
    IDirect3D11CaptureFramePool::CreateCaptureSession()
    IDirect3D11CaptureFramePool::add_FrameArrived()
    IDirect3D11CaptureFramePool::remove_FrameArrived(1)     token
    IDirect3D11CaptureFramePool::Recreate(28, 1, {1280, 720})
    IGraphicsCaptureSession::StartCapture()
    IClosable::Close(FramePool)
    IClosable::Close(Session)
    ID3D11Device::CreateTexture2D(Width=1920, Height=1080, MipLevels=1, ArraySize=1, Format=28, SampleDesc.Count=1, SampleDesc.Quality=0, Usage=3, BindFlags=0x0, CPUAccessFlags=0x30000, MiscFlags=0x0, NULL)
                      the description, then the initial data
    ID3D11DeviceContext::CopyResource()
    ID3D11DeviceContext::CopySubresourceRegion(0, 0, 0, 0, 0, {8, 4, 0, 24, 12, 1})
                      destination subresource, x, y, z, source subresource, box
                      (left, top, front, right, bottom, back)
    IGraphicsCaptureSession2::put_IsCursorCaptureEnabled(0)
    IGraphicsCaptureSession3::put_IsBorderRequired(0)
    ID3D11Multithread::SetMultithreadProtected(1)
    ID3D11DeviceContext::Map(0, 3, 0x0)        subresource, map type, flags
    ID3D11DeviceContext::Unmap(0)

Not logged, since they run for every arriving frame: TryGetNextFrame, the
frame's getters, the surface's, GetInterface, GetDesc, QueryInterface.

Live objects
------------
Kinds in ``simdesk.live_objects()``: "texture", "device", "context",
"direct3d_device", "item", "statics", "interop_factory", "pool", "session",
"frame", "surface", "controller", "async_action", "hstring". A frame waiting
in a pool counts (with its texture); work queued for a thread that never
pumps again is released when that thread ends (but see dispatcher queues).
"""

import ctypes

import lumigrab

_lib = ctypes.PyDLL(lumigrab.__file__)
if not hasattr(_lib, "lumigrab_sim_present"):
    raise ImportError("lumigrab was built without LUMIGRAB_TEST_HOOKS")


def _declare(name, restype, *argtypes):
    function = getattr(_lib, "lumigrab_sim_" + name)
    function.restype = restype
    function.argtypes = argtypes
    return function


_set_feature_level = _declare("set_feature_level", ctypes.c_int, ctypes.c_int32)
_present = _declare("present", ctypes.c_int, ctypes.c_uint64, ctypes.c_int32, ctypes.c_int32,
                    ctypes.c_char_p, ctypes.c_size_t, ctypes.c_uint32, ctypes.c_int32,
                    ctypes.c_int32)
_wait_delivered = _declare("wait_delivered", ctypes.c_int, ctypes.c_int64)
_set_hidden = _declare("set_hidden", ctypes.c_int, ctypes.c_uint64, ctypes.c_int)
_set_context_dwell = _declare("set_context_dwell", ctypes.c_int, ctypes.c_int64)
_set_session_interfaces = _declare("set_session_interfaces", ctypes.c_int, ctypes.c_int,
                                   ctypes.c_int, ctypes.c_int, ctypes.c_int)
_register_capture_library = _declare("register_capture_library", ctypes.c_int,
                                     ctypes.c_char_p, ctypes.c_int)


def set_feature_level(level):
    """The highest Direct3D feature level the adapter reaches, e.g. 0xB000."""
    _set_feature_level(level)


def set_session_interfaces(cursor_switch=True, border_switch=True, may_hide_border=True,
                           keeps_border_silently=False):
    """What sessions made from now on offer: IGraphicsCaptureSession2 (the
    pointer switch) and IGraphicsCaptureSession3 (the border switch), and
    whether put_IsBorderRequired(false) is allowed (otherwise E_ACCESSDENIED,
    as without the borderless capture access; with ``keeps_border_silently``
    it answers S_OK and the border stays, which only reading it back shows)."""
    _set_session_interfaces(int(cursor_switch), int(border_switch), int(may_hide_border),
                            int(keeps_border_silently))


def present(handle, width, height, pixels=None, *, row_pitch=None, content_size=None):
    """Makes the monitor or window ``handle`` show an image and delivers it.

    ``pixels``: bytes-like, ``height`` rows of ``row_pitch`` bytes (R, G, B, A
    per pixel, then any padding); None: the default pattern at this size.
    ``row_pitch`` defaults to ``width * 4``; ``content_size`` (width, height)
    to the image's size.
    """
    pitch = width * 4 if row_pitch is None else row_pitch
    content_width, content_height = (width, height) if content_size is None else content_size
    data = None
    if pixels is not None:
        data = pixels if isinstance(pixels, bytes) else bytes(memoryview(pixels).cast("B"))
        if len(data) != height * pitch:
            raise ValueError(f"pixels must hold height * row_pitch = {height * pitch} bytes, "
                             f"not {len(data)}")
    result = _present(handle, width, height, data, 0 if data is None else len(data), pitch,
                      content_width, content_height)
    if result != 0:
        raise ValueError(f"not an image: {width}x{height}, row pitch {pitch}")


def set_minimized(handle, minimized=True):
    """Minimises (or, just the same, cloaks) a window, or restores it."""
    _set_hidden(handle, int(minimized))


def set_context_dwell(seconds):
    """How long the capture runtime stays in the immediate context each time it
    uses it (0 after a reset)."""
    _set_context_dwell(int(seconds * 1_000_000))


def wait_delivered(timeout=5.0):
    """Waits until every capture thread has dispatched the frames delivered so
    far (or has ended). False on time-out."""
    return bool(_wait_delivered(int(timeout * 1000)))


def register_capture_library(name, with_interop=True):
    """Makes ``name`` loadable, exporting DllGetActivationFactory for the
    capture classes; the item class's factory answers
    IGraphicsCaptureItemInterop only ``with_interop``."""
    if _register_capture_library(name.encode(), int(with_interop)) != 0:
        raise ValueError(f"cannot register {name!r}")
