// COM and Windows Runtime interfaces the module calls, declared at the ABI.
//
// Each interface is a class of pure virtual methods in vtable order, with no
// data and no virtual destructor, so a pointer to it is a pointer to the real
// Windows object on Windows and to a simulated one elsewhere. Slots that the
// module never calls are kept as placeholders so later slots land where
// Windows puts them.
#pragma once

#include "platform/win_types.h"

namespace lumigrab::abi {

using win::BOOL;
using win::BSTR;
using win::DWORD;
using win::GUID;
using win::HRESULT;
using win::UINT;
using win::ULONG;
// The Windows Runtime's one-byte truth value.
using boolean = std::uint8_t;

#define LUMIGRAB_METHOD(ret) virtual ret LUMIGRAB_STDCALL
// A slot the module never calls; it keeps the vtable in Windows' order.
#define LUMIGRAB_UNUSED_SLOT(n) \
  virtual void LUMIGRAB_STDCALL unused_slot_##n() {}

// Non-virtual-destructor interfaces are deleted through Release only; a
// virtual destructor would add vtable slots that Windows does not have.
// NOLINTBEGIN(cppcoreguidelines-virtual-class-destructor)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

struct IUnknown {
  LUMIGRAB_METHOD(HRESULT) QueryInterface(const GUID& iid, void** out) = 0;
  LUMIGRAB_METHOD(ULONG) AddRef() = 0;
  LUMIGRAB_METHOD(ULONG) Release() = 0;

 protected:
  IUnknown() = default;
  IUnknown(const IUnknown&) = default;
  IUnknown& operator=(const IUnknown&) = default;
  ~IUnknown() = default;
};

struct HSTRING__;
using HSTRING = HSTRING__*;

struct IInspectable : IUnknown {
  LUMIGRAB_METHOD(HRESULT) GetIids(ULONG* count, GUID** iids) = 0;
  LUMIGRAB_METHOD(HRESULT) GetRuntimeClassName(HSTRING* name) = 0;
  LUMIGRAB_METHOD(HRESULT) GetTrustLevel(std::int32_t* level) = 0;
};

struct IAgileObject : IUnknown {};

struct IActivationFactory : IInspectable {
  LUMIGRAB_METHOD(HRESULT) ActivateInstance(IInspectable** instance) = 0;
};

struct IClosable : IInspectable {
  LUMIGRAB_METHOD(HRESULT) Close() = 0;
};

struct IErrorInfo : IUnknown {
  LUMIGRAB_METHOD(HRESULT) GetGUID(GUID* guid) = 0;
  LUMIGRAB_METHOD(HRESULT) GetSource(BSTR* source) = 0;
  LUMIGRAB_METHOD(HRESULT) GetDescription(BSTR* description) = 0;
  LUMIGRAB_METHOD(HRESULT) GetHelpFile(BSTR* help_file) = 0;
  LUMIGRAB_METHOD(HRESULT) GetHelpContext(DWORD* help_context) = 0;
};

struct IRestrictedErrorInfo : IUnknown {
  LUMIGRAB_METHOD(HRESULT)
  GetErrorDetails(BSTR* description, HRESULT* error, BSTR* restricted_description,
                  BSTR* capability_sid) = 0;
  LUMIGRAB_METHOD(HRESULT) GetReference(BSTR* reference) = 0;
};

// Windows.Foundation

struct EventRegistrationToken {
  std::int64_t value;
};

struct SizeInt32 {
  std::int32_t Width;
  std::int32_t Height;
};

struct TimeSpan {
  std::int64_t Duration;
};

enum AsyncStatus : std::int32_t {
  AsyncStatus_Started = 0,
  AsyncStatus_Completed = 1,
  AsyncStatus_Canceled = 2,
  AsyncStatus_Error = 3,
};

struct IAsyncActionCompletedHandler;

struct IAsyncAction : IInspectable {
  LUMIGRAB_METHOD(HRESULT) put_Completed(IAsyncActionCompletedHandler* handler) = 0;
  LUMIGRAB_METHOD(HRESULT) get_Completed(IAsyncActionCompletedHandler** handler) = 0;
  LUMIGRAB_METHOD(HRESULT) GetResults() = 0;
};

struct IAsyncActionCompletedHandler : IUnknown {
  LUMIGRAB_METHOD(HRESULT) Invoke(IAsyncAction* async_info, AsyncStatus status) = 0;
};

// Windows.System dispatcher queue

struct IDispatcherQueue : IInspectable {};

struct IDispatcherQueueController : IInspectable {
  LUMIGRAB_METHOD(HRESULT) get_DispatcherQueue(IDispatcherQueue** value) = 0;
  LUMIGRAB_METHOD(HRESULT) ShutdownQueueAsync(IAsyncAction** operation) = 0;
};

struct DispatcherQueueOptions {
  DWORD dwSize;
  std::int32_t threadType;
  std::int32_t apartmentType;
};
static_assert(sizeof(DispatcherQueueOptions) == 12);

inline constexpr std::int32_t DQTYPE_THREAD_CURRENT = 2;
inline constexpr std::int32_t DQTAT_COM_NONE = 0;

// Direct3D 11 and DXGI

enum DXGI_FORMAT : std::int32_t {
  DXGI_FORMAT_R8G8B8A8_UNORM = 28,
  DXGI_FORMAT_B8G8R8A8_UNORM = 87,
};

struct DXGI_SAMPLE_DESC {
  UINT Count;
  UINT Quality;
};

struct D3D11_TEXTURE2D_DESC {
  UINT Width;
  UINT Height;
  UINT MipLevels;
  UINT ArraySize;
  DXGI_FORMAT Format;
  DXGI_SAMPLE_DESC SampleDesc;
  std::int32_t Usage;
  UINT BindFlags;
  UINT CPUAccessFlags;
  UINT MiscFlags;
};
static_assert(sizeof(D3D11_TEXTURE2D_DESC) == 44);

// A box of texels, each end exclusive.
struct D3D11_BOX {
  UINT left;
  UINT top;
  UINT front;
  UINT right;
  UINT bottom;
  UINT back;
};
static_assert(sizeof(D3D11_BOX) == 24);

struct D3D11_MAPPED_SUBRESOURCE {
  void* pData;
  UINT RowPitch;
  UINT DepthPitch;
};

inline constexpr std::int32_t D3D11_USAGE_STAGING = 3;
inline constexpr UINT D3D11_CPU_ACCESS_WRITE = 0x10000;
inline constexpr UINT D3D11_CPU_ACCESS_READ = 0x20000;
inline constexpr std::int32_t D3D11_MAP_READ_WRITE = 3;
inline constexpr std::int32_t D3D_DRIVER_TYPE_HARDWARE = 1;
inline constexpr UINT D3D11_CREATE_DEVICE_BGRA_SUPPORT = 0x20;
inline constexpr UINT D3D11_SDK_VERSION = 7;

enum D3D_FEATURE_LEVEL : std::int32_t {
  D3D_FEATURE_LEVEL_9_1 = 0x9100,
  D3D_FEATURE_LEVEL_9_2 = 0x9200,
  D3D_FEATURE_LEVEL_9_3 = 0x9300,
  D3D_FEATURE_LEVEL_10_0 = 0xA000,
  D3D_FEATURE_LEVEL_10_1 = 0xA100,
  D3D_FEATURE_LEVEL_11_0 = 0xB000,
  D3D_FEATURE_LEVEL_11_1 = 0xB100,
};

struct ID3D11Device;

struct ID3D11DeviceChild : IUnknown {
  // The device that made this object, with a reference for the caller.
  LUMIGRAB_METHOD(void) GetDevice(ID3D11Device** device) = 0;
  LUMIGRAB_UNUSED_SLOT(4)  // GetPrivateData
  LUMIGRAB_UNUSED_SLOT(5)  // SetPrivateData
  LUMIGRAB_UNUSED_SLOT(6)  // SetPrivateDataInterface
};

struct ID3D11Resource : ID3D11DeviceChild {
  LUMIGRAB_UNUSED_SLOT(7)  // GetType
  LUMIGRAB_UNUSED_SLOT(8)  // SetEvictionPriority
  LUMIGRAB_UNUSED_SLOT(9)  // GetEvictionPriority
};

struct ID3D11Texture2D : ID3D11Resource {
  LUMIGRAB_METHOD(void) GetDesc(D3D11_TEXTURE2D_DESC* desc) = 0;
};

struct ID3D11Device : IUnknown {
  LUMIGRAB_UNUSED_SLOT(3)  // CreateBuffer
  LUMIGRAB_UNUSED_SLOT(4)  // CreateTexture1D
  LUMIGRAB_METHOD(HRESULT)
  CreateTexture2D(const D3D11_TEXTURE2D_DESC* desc, const void* initial_data,
                  ID3D11Texture2D** texture) = 0;
  LUMIGRAB_UNUSED_SLOT(6)
  LUMIGRAB_UNUSED_SLOT(7)
  LUMIGRAB_UNUSED_SLOT(8)
  LUMIGRAB_UNUSED_SLOT(9)
  LUMIGRAB_UNUSED_SLOT(10)
  LUMIGRAB_UNUSED_SLOT(11)
  LUMIGRAB_UNUSED_SLOT(12)
  LUMIGRAB_UNUSED_SLOT(13)
  LUMIGRAB_UNUSED_SLOT(14)
  LUMIGRAB_UNUSED_SLOT(15)
  LUMIGRAB_UNUSED_SLOT(16)
  LUMIGRAB_UNUSED_SLOT(17)
  LUMIGRAB_UNUSED_SLOT(18)
  LUMIGRAB_UNUSED_SLOT(19)
  LUMIGRAB_UNUSED_SLOT(20)
  LUMIGRAB_UNUSED_SLOT(21)
  LUMIGRAB_UNUSED_SLOT(22)
  LUMIGRAB_UNUSED_SLOT(23)
  LUMIGRAB_UNUSED_SLOT(24)
  LUMIGRAB_UNUSED_SLOT(25)
  LUMIGRAB_UNUSED_SLOT(26)
  LUMIGRAB_UNUSED_SLOT(27)
  LUMIGRAB_UNUSED_SLOT(28)
  LUMIGRAB_UNUSED_SLOT(29)
  LUMIGRAB_UNUSED_SLOT(30)
  LUMIGRAB_UNUSED_SLOT(31)
  LUMIGRAB_UNUSED_SLOT(32)
  LUMIGRAB_UNUSED_SLOT(33)
  LUMIGRAB_UNUSED_SLOT(34)
  LUMIGRAB_UNUSED_SLOT(35)
  LUMIGRAB_UNUSED_SLOT(36)
  LUMIGRAB_UNUSED_SLOT(37)
  LUMIGRAB_UNUSED_SLOT(38)
  // S_OK while the device works; once it is lost, why.
  LUMIGRAB_METHOD(HRESULT) GetDeviceRemovedReason() = 0;
};

struct ID3D11DeviceContext : ID3D11DeviceChild {
  LUMIGRAB_UNUSED_SLOT(7)
  LUMIGRAB_UNUSED_SLOT(8)
  LUMIGRAB_UNUSED_SLOT(9)
  LUMIGRAB_UNUSED_SLOT(10)
  LUMIGRAB_UNUSED_SLOT(11)
  LUMIGRAB_UNUSED_SLOT(12)
  LUMIGRAB_UNUSED_SLOT(13)
  LUMIGRAB_METHOD(HRESULT)
  Map(ID3D11Resource* resource, UINT subresource, std::int32_t map_type, UINT flags,
      D3D11_MAPPED_SUBRESOURCE* mapped) = 0;
  LUMIGRAB_METHOD(void) Unmap(ID3D11Resource* resource, UINT subresource) = 0;
  LUMIGRAB_UNUSED_SLOT(16)
  LUMIGRAB_UNUSED_SLOT(17)
  LUMIGRAB_UNUSED_SLOT(18)
  LUMIGRAB_UNUSED_SLOT(19)
  LUMIGRAB_UNUSED_SLOT(20)
  LUMIGRAB_UNUSED_SLOT(21)
  LUMIGRAB_UNUSED_SLOT(22)
  LUMIGRAB_UNUSED_SLOT(23)
  LUMIGRAB_UNUSED_SLOT(24)
  LUMIGRAB_UNUSED_SLOT(25)
  LUMIGRAB_UNUSED_SLOT(26)
  LUMIGRAB_UNUSED_SLOT(27)
  LUMIGRAB_UNUSED_SLOT(28)
  LUMIGRAB_UNUSED_SLOT(29)
  LUMIGRAB_UNUSED_SLOT(30)
  LUMIGRAB_UNUSED_SLOT(31)
  LUMIGRAB_UNUSED_SLOT(32)
  LUMIGRAB_UNUSED_SLOT(33)
  LUMIGRAB_UNUSED_SLOT(34)
  LUMIGRAB_UNUSED_SLOT(35)
  LUMIGRAB_UNUSED_SLOT(36)
  LUMIGRAB_UNUSED_SLOT(37)
  LUMIGRAB_UNUSED_SLOT(38)
  LUMIGRAB_UNUSED_SLOT(39)
  LUMIGRAB_UNUSED_SLOT(40)
  LUMIGRAB_UNUSED_SLOT(41)
  LUMIGRAB_UNUSED_SLOT(42)
  LUMIGRAB_UNUSED_SLOT(43)
  LUMIGRAB_UNUSED_SLOT(44)
  LUMIGRAB_UNUSED_SLOT(45)
  LUMIGRAB_METHOD(void)
  CopySubresourceRegion(ID3D11Resource* destination, UINT destination_subresource, UINT x, UINT y,
                        UINT z, ID3D11Resource* source, UINT source_subresource,
                        const D3D11_BOX* source_box) = 0;
  LUMIGRAB_METHOD(void) CopyResource(ID3D11Resource* destination, ID3D11Resource* source) = 0;
};

// The immediate context's lock, queried from the context. Without protection
// switched on, two threads must never be in the context at once.
struct ID3D11Multithread : IUnknown {
  LUMIGRAB_METHOD(void) Enter() = 0;
  LUMIGRAB_METHOD(void) Leave() = 0;
  // Both return the setting as it was before.
  LUMIGRAB_METHOD(BOOL) SetMultithreadProtected(BOOL protect) = 0;
  LUMIGRAB_METHOD(BOOL) GetMultithreadProtected() = 0;
};

// A device that reports one of these is lost for good: every later call on it
// fails, and only a new device can go on.
inline constexpr HRESULT kDxgiDeviceRemoved = static_cast<HRESULT>(0x887A0005U);
inline constexpr HRESULT kDxgiDeviceHung = static_cast<HRESULT>(0x887A0006U);
inline constexpr HRESULT kDxgiDeviceReset = static_cast<HRESULT>(0x887A0007U);
inline constexpr HRESULT kDxgiDriverInternalError = static_cast<HRESULT>(0x887A0020U);

inline constexpr bool is_device_lost(HRESULT result) noexcept {
  return result == kDxgiDeviceRemoved || result == kDxgiDeviceHung || result == kDxgiDeviceReset ||
         result == kDxgiDriverInternalError;
}

struct IDXGIDevice : IUnknown {};

// Windows.Graphics.DirectX.Direct3D11

struct IDirect3DDevice : IInspectable {
  LUMIGRAB_METHOD(HRESULT) Trim() = 0;
};

struct Direct3DSurfaceDescription {
  std::int32_t Width;
  std::int32_t Height;
  std::int32_t Format;
  std::int32_t MultisampleCount;
  std::int32_t MultisampleQuality;
};

struct IDirect3DSurface : IInspectable {
  LUMIGRAB_METHOD(HRESULT) get_Description(Direct3DSurfaceDescription* value) = 0;
};

struct IDirect3DDxgiInterfaceAccess : IUnknown {
  LUMIGRAB_METHOD(HRESULT) GetInterface(const GUID& iid, void** out) = 0;
};

// Windows.Graphics.Capture

inline constexpr std::int32_t DirectXPixelFormat_R8G8B8A8UIntNormalized = 28;

struct IGraphicsCaptureItem;
struct IGraphicsCaptureSession;
struct IDirect3D11CaptureFrame;
struct IDirect3D11CaptureFramePool;

struct IGraphicsCaptureItemInterop : IUnknown {
  LUMIGRAB_METHOD(HRESULT) CreateForWindow(win::HWND window, const GUID& iid, void** result) = 0;
  LUMIGRAB_METHOD(HRESULT)
  CreateForMonitor(win::HMONITOR monitor, const GUID& iid, void** result) = 0;
};

struct IGraphicsCaptureItem : IInspectable {
  LUMIGRAB_METHOD(HRESULT) get_DisplayName(HSTRING* value) = 0;
  LUMIGRAB_METHOD(HRESULT) get_Size(SizeInt32* value) = 0;
  LUMIGRAB_UNUSED_SLOT(8)  // add_Closed
  LUMIGRAB_UNUSED_SLOT(9)  // remove_Closed
};

// TypedEventHandler<Direct3D11CaptureFramePool, Object>
struct IFrameArrivedHandler : IUnknown {
  LUMIGRAB_METHOD(HRESULT) Invoke(IDirect3D11CaptureFramePool* sender, IInspectable* args) = 0;
};

struct IDirect3D11CaptureFramePoolStatics : IInspectable {
  LUMIGRAB_METHOD(HRESULT)
  Create(IDirect3DDevice* device, std::int32_t pixel_format, std::int32_t number_of_buffers,
         SizeInt32 size, IDirect3D11CaptureFramePool** result) = 0;
};

struct IDirect3D11CaptureFramePool : IInspectable {
  LUMIGRAB_METHOD(HRESULT)
  Recreate(IDirect3DDevice* device, std::int32_t pixel_format, std::int32_t number_of_buffers,
           SizeInt32 size) = 0;
  LUMIGRAB_METHOD(HRESULT) TryGetNextFrame(IDirect3D11CaptureFrame** result) = 0;
  LUMIGRAB_METHOD(HRESULT)
  add_FrameArrived(IFrameArrivedHandler* handler, EventRegistrationToken* token) = 0;
  LUMIGRAB_METHOD(HRESULT) remove_FrameArrived(EventRegistrationToken token) = 0;
  LUMIGRAB_METHOD(HRESULT)
  CreateCaptureSession(IGraphicsCaptureItem* item, IGraphicsCaptureSession** result) = 0;
  LUMIGRAB_METHOD(HRESULT) get_DispatcherQueue(IDispatcherQueue** value) = 0;
};

struct IDirect3D11CaptureFrame : IInspectable {
  LUMIGRAB_METHOD(HRESULT) get_Surface(IDirect3DSurface** value) = 0;
  LUMIGRAB_METHOD(HRESULT) get_SystemRelativeTime(TimeSpan* value) = 0;
  LUMIGRAB_METHOD(HRESULT) get_ContentSize(SizeInt32* value) = 0;
};

struct IGraphicsCaptureSession : IInspectable {
  LUMIGRAB_METHOD(HRESULT) StartCapture() = 0;
};

// Whether the mouse pointer is drawn into the frames (Windows 10 2004 on).
struct IGraphicsCaptureSession2 : IInspectable {
  LUMIGRAB_METHOD(HRESULT) get_IsCursorCaptureEnabled(boolean* value) = 0;
  LUMIGRAB_METHOD(HRESULT) put_IsCursorCaptureEnabled(boolean value) = 0;
};

// Whether the system draws a border around the captured target (Windows 11).
struct IGraphicsCaptureSession3 : IInspectable {
  LUMIGRAB_METHOD(HRESULT) get_IsBorderRequired(boolean* value) = 0;
  LUMIGRAB_METHOD(HRESULT) put_IsBorderRequired(boolean value) = 0;
};

#pragma GCC diagnostic pop
// NOLINTEND(cppcoreguidelines-virtual-class-destructor)

#undef LUMIGRAB_UNUSED_SLOT
#undef LUMIGRAB_METHOD

// Interface ids.
inline constexpr GUID IID_IUnknown{
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID IID_IInspectable{
    0xAF86E2E0, 0xB12D, 0x4C6A, {0x9C, 0x5A, 0xD7, 0xAA, 0x65, 0x10, 0x1E, 0x90}};
inline constexpr GUID IID_IAgileObject{
    0x94EA2B94, 0xE9CC, 0x49E0, {0xC0, 0xFF, 0xEE, 0x64, 0xCA, 0x8F, 0x5B, 0x90}};
inline constexpr GUID IID_IActivationFactory{
    0x00000035, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID IID_IClosable{
    0x30D5A829, 0x7FA4, 0x4026, {0x83, 0xBB, 0xD7, 0x5B, 0xAE, 0x4E, 0xA9, 0x9E}};
inline constexpr GUID IID_IErrorInfo{
    0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
inline constexpr GUID IID_IRestrictedErrorInfo{
    0x82BA7092, 0x4C88, 0x427D, {0xA7, 0xBC, 0x16, 0xDD, 0x93, 0xFE, 0xB6, 0x7E}};
inline constexpr GUID IID_IAsyncAction{
    0x5A648006, 0x843A, 0x4DA9, {0x86, 0x5B, 0x9D, 0x26, 0xE5, 0xDF, 0xAD, 0x7B}};
inline constexpr GUID IID_IAsyncActionCompletedHandler{
    0xA4ED5C81, 0x76C9, 0x40BD, {0x8B, 0xE6, 0xB1, 0xD9, 0x0F, 0xB2, 0x0A, 0xE7}};
inline constexpr GUID IID_IDispatcherQueueController{
    0x22F34E66, 0x50DB, 0x4E36, {0xA9, 0x8D, 0x61, 0xC0, 0x1B, 0x38, 0x4D, 0x20}};
inline constexpr GUID IID_IDXGIDevice{
    0x54EC77FA, 0x1377, 0x44E6, {0x8C, 0x32, 0x88, 0xFD, 0x5F, 0x44, 0xC8, 0x4C}};
inline constexpr GUID IID_ID3D11Texture2D{
    0x6F15AAF2, 0xD208, 0x4E89, {0x9A, 0xB4, 0x48, 0x95, 0x35, 0xD3, 0x4F, 0x9C}};
inline constexpr GUID IID_ID3D11Device{
    0xDB6F6DDB, 0xAC77, 0x4E88, {0x82, 0x53, 0x81, 0x9D, 0xF9, 0xBB, 0xF1, 0x40}};
inline constexpr GUID IID_ID3D11DeviceContext{
    0xC0BFA96C, 0xE089, 0x44FB, {0x8E, 0xAF, 0x26, 0xF8, 0x79, 0x61, 0x90, 0xDA}};
inline constexpr GUID IID_ID3D11Multithread{
    0x9B7E4E00, 0x342C, 0x4106, {0xA1, 0x9F, 0x4F, 0x27, 0x04, 0xF6, 0x89, 0xF0}};
inline constexpr GUID IID_IDirect3DDevice{
    0xA37624AB, 0x8D5F, 0x4650, {0x9D, 0x3E, 0x9E, 0xAE, 0x3D, 0x9B, 0xC6, 0x70}};
inline constexpr GUID IID_IDirect3DSurface{
    0x0BF4A146, 0x13C1, 0x4694, {0xBE, 0xE3, 0x7A, 0xBF, 0x15, 0xEA, 0xF5, 0x86}};
inline constexpr GUID IID_IDirect3DDxgiInterfaceAccess{
    0xA9B3D012, 0x3DF2, 0x4EE3, {0xB8, 0xD1, 0x86, 0x95, 0xF4, 0x57, 0xD3, 0xC1}};
inline constexpr GUID IID_IGraphicsCaptureItemInterop{
    0x3628E81B, 0x3CAC, 0x4C60, {0xB7, 0xF4, 0x23, 0xCE, 0x0E, 0x0C, 0x33, 0x56}};
inline constexpr GUID IID_IGraphicsCaptureItem{
    0x79C3F95B, 0x31F7, 0x4EC2, {0xA4, 0x64, 0x63, 0x2E, 0xF5, 0xD3, 0x07, 0x60}};
inline constexpr GUID IID_IDirect3D11CaptureFramePoolStatics{
    0x7784056A, 0x67AA, 0x4D53, {0xAE, 0x54, 0x10, 0x88, 0xD5, 0xA8, 0xCA, 0x21}};
inline constexpr GUID IID_IDirect3D11CaptureFramePool{
    0x24EB6D22, 0x1975, 0x422E, {0x82, 0xE7, 0x78, 0x0D, 0xBD, 0x8D, 0xDF, 0x24}};
inline constexpr GUID IID_IDirect3D11CaptureFrame{
    0xFA50C623, 0x38DA, 0x4B32, {0xAC, 0xF3, 0xFA, 0x97, 0x34, 0xAD, 0x80, 0x0E}};
inline constexpr GUID IID_IGraphicsCaptureSession{
    0x814E42A9, 0xF70F, 0x4AD7, {0x93, 0x9B, 0xFD, 0xDC, 0xC6, 0xEB, 0x88, 0x0D}};
inline constexpr GUID IID_IGraphicsCaptureSession2{
    0x2C39AE40, 0x7D2E, 0x5044, {0x80, 0x4E, 0x8B, 0x67, 0x99, 0xD4, 0xCF, 0x9E}};
inline constexpr GUID IID_IGraphicsCaptureSession3{
    0xF2CDD966, 0x22AE, 0x5EA1, {0x95, 0x96, 0x3A, 0x28, 0x93, 0x44, 0xC3, 0xBE}};
inline constexpr GUID IID_IFrameArrivedHandler{
    0x51A947F7, 0x79CF, 0x5A3E, {0xA3, 0xA5, 0x12, 0x89, 0xCF, 0xA6, 0xDF, 0xE8}};

inline constexpr const char16_t* kGraphicsCaptureItemClass =
    u"Windows.Graphics.Capture.GraphicsCaptureItem";
inline constexpr const char16_t* kFramePoolClass =
    u"Windows.Graphics.Capture.Direct3D11CaptureFramePool";

}  // namespace lumigrab::abi
