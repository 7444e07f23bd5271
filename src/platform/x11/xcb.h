// The part of libxcb and its extension libraries that the X11 backend uses,
// declared here and loaded at run time.
//
// No XCB header is needed to build the backend: the types, constants and
// functions below carry libxcb's own names, layouts and signatures (from its
// public protocol headers), and each function forwards to the symbol of that
// name in the shared library that exports it. `load_xcb()` opens the
// libraries and looks every symbol up once; the backend calls it before it
// makes a connection, so no function here is called before it succeeded.
//
// To use one more function:
//   1. declare the types it takes and returns below, as libxcb declares them
//      (for a request with a reply, its cookie and reply types);
//   2. add one line to LUMIGRAB_XCB_FUNCTIONS: the library that exports it,
//      the result type, the name, the parameters and the arguments; or, for
//      the reply of a request, one line to LUMIGRAB_XCB_REPLIES with the
//      request's name (it makes `<request>_reply`).
// The function is then looked up with the others, and a library without it
// fails the load with a message that names both.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lumigrab::xcb {

// --- core types (xcb.h, xproto.h) ---
struct xcb_connection_t;
struct xcb_extension_t;

using xcb_window_t = std::uint32_t;
using xcb_pixmap_t = std::uint32_t;
using xcb_drawable_t = std::uint32_t;
using xcb_atom_t = std::uint32_t;
using xcb_colormap_t = std::uint32_t;
using xcb_visualid_t = std::uint32_t;
using xcb_timestamp_t = std::uint32_t;
using xcb_keycode_t = std::uint8_t;

struct xcb_generic_error_t {
  std::uint8_t response_type;
  std::uint8_t error_code;
  std::uint16_t sequence;
  std::uint32_t resource_id;
  std::uint16_t minor_code;
  std::uint8_t major_code;
  std::uint8_t pad0;
  std::uint32_t pad[5];
  std::uint32_t full_sequence;
};

struct xcb_generic_event_t {
  std::uint8_t response_type;
  std::uint8_t pad0;
  std::uint16_t sequence;
  std::uint32_t pad[7];
  std::uint32_t full_sequence;
};

struct xcb_void_cookie_t {
  unsigned int sequence;
};

struct xcb_rectangle_t {
  std::int16_t x;
  std::int16_t y;
  std::uint16_t width;
  std::uint16_t height;
};

struct xcb_setup_t {
  std::uint8_t status;
  std::uint8_t pad0;
  std::uint16_t protocol_major_version;
  std::uint16_t protocol_minor_version;
  std::uint16_t length;
  std::uint32_t release_number;
  std::uint32_t resource_id_base;
  std::uint32_t resource_id_mask;
  std::uint32_t motion_buffer_size;
  std::uint16_t vendor_len;
  std::uint16_t maximum_request_length;
  std::uint8_t roots_len;
  std::uint8_t pixmap_formats_len;
  std::uint8_t image_byte_order;
  std::uint8_t bitmap_format_bit_order;
  std::uint8_t bitmap_format_scanline_unit;
  std::uint8_t bitmap_format_scanline_pad;
  xcb_keycode_t min_keycode;
  xcb_keycode_t max_keycode;
  std::uint8_t pad1[4];
};

struct xcb_format_t {
  std::uint8_t depth;
  std::uint8_t bits_per_pixel;
  std::uint8_t scanline_pad;
  std::uint8_t pad0[5];
};

struct xcb_format_iterator_t {
  xcb_format_t* data;
  int rem;
  int index;
};

struct xcb_screen_t {
  xcb_window_t root;
  xcb_colormap_t default_colormap;
  std::uint32_t white_pixel;
  std::uint32_t black_pixel;
  std::uint32_t current_input_masks;
  std::uint16_t width_in_pixels;
  std::uint16_t height_in_pixels;
  std::uint16_t width_in_millimeters;
  std::uint16_t height_in_millimeters;
  std::uint16_t min_installed_maps;
  std::uint16_t max_installed_maps;
  xcb_visualid_t root_visual;
  std::uint8_t backing_stores;
  std::uint8_t save_unders;
  std::uint8_t root_depth;
  std::uint8_t allowed_depths_len;
};

struct xcb_screen_iterator_t {
  xcb_screen_t* data;
  int rem;
  int index;
};

struct xcb_depth_t {
  std::uint8_t depth;
  std::uint8_t pad0;
  std::uint16_t visuals_len;
  std::uint8_t pad1[4];
};

struct xcb_depth_iterator_t {
  xcb_depth_t* data;
  int rem;
  int index;
};

struct xcb_visualtype_t {
  xcb_visualid_t visual_id;
  std::uint8_t _class;
  std::uint8_t bits_per_rgb_value;
  std::uint16_t colormap_entries;
  std::uint32_t red_mask;
  std::uint32_t green_mask;
  std::uint32_t blue_mask;
  std::uint8_t pad0[4];
};

struct xcb_visualtype_iterator_t {
  xcb_visualtype_t* data;
  int rem;
  int index;
};

struct xcb_query_extension_reply_t {
  std::uint8_t response_type;
  std::uint8_t pad0;
  std::uint16_t sequence;
  std::uint32_t length;
  std::uint8_t present;
  std::uint8_t major_opcode;
  std::uint8_t first_event;
  std::uint8_t first_error;
};

#define LUMIGRAB_XCB_COOKIE(request) \
  struct request##_cookie_t {        \
    unsigned int sequence;           \
  }

LUMIGRAB_XCB_COOKIE(xcb_intern_atom);
struct xcb_intern_atom_reply_t {
  std::uint8_t response_type;
  std::uint8_t pad0;
  std::uint16_t sequence;
  std::uint32_t length;
  xcb_atom_t atom;
};

LUMIGRAB_XCB_COOKIE(xcb_get_atom_name);
struct xcb_get_atom_name_reply_t {
  std::uint8_t response_type;
  std::uint8_t pad0;
  std::uint16_t sequence;
  std::uint32_t length;
  std::uint16_t name_len;
  std::uint8_t pad1[22];
};

LUMIGRAB_XCB_COOKIE(xcb_get_property);
struct xcb_get_property_reply_t {
  std::uint8_t response_type;
  std::uint8_t format;
  std::uint16_t sequence;
  std::uint32_t length;
  xcb_atom_t type;
  std::uint32_t bytes_after;
  std::uint32_t value_len;
  std::uint8_t pad0[12];
};

LUMIGRAB_XCB_COOKIE(xcb_get_window_attributes);
struct xcb_get_window_attributes_reply_t {
  std::uint8_t response_type;
  std::uint8_t backing_store;
  std::uint16_t sequence;
  std::uint32_t length;
  xcb_visualid_t visual;
  std::uint16_t _class;
  std::uint8_t bit_gravity;
  std::uint8_t win_gravity;
  std::uint32_t backing_planes;
  std::uint32_t backing_pixel;
  std::uint8_t save_under;
  std::uint8_t map_is_installed;
  std::uint8_t map_state;
  std::uint8_t override_redirect;
  xcb_colormap_t colormap;
  std::uint32_t all_event_masks;
  std::uint32_t your_event_mask;
  std::uint16_t do_not_propagate_mask;
  std::uint8_t pad0[2];
};

LUMIGRAB_XCB_COOKIE(xcb_query_tree);
struct xcb_query_tree_reply_t {
  std::uint8_t response_type;
  std::uint8_t pad0;
  std::uint16_t sequence;
  std::uint32_t length;
  xcb_window_t root;
  xcb_window_t parent;
  std::uint16_t children_len;
  std::uint8_t pad1[14];
};

LUMIGRAB_XCB_COOKIE(xcb_get_geometry);
struct xcb_get_geometry_reply_t {
  std::uint8_t response_type;
  std::uint8_t depth;
  std::uint16_t sequence;
  std::uint32_t length;
  xcb_window_t root;
  std::int16_t x;
  std::int16_t y;
  std::uint16_t width;
  std::uint16_t height;
  std::uint16_t border_width;
  std::uint8_t pad0[2];
};

LUMIGRAB_XCB_COOKIE(xcb_translate_coordinates);
struct xcb_translate_coordinates_reply_t {
  std::uint8_t response_type;
  std::uint8_t same_screen;
  std::uint16_t sequence;
  std::uint32_t length;
  xcb_window_t child;
  std::int16_t dst_x;
  std::int16_t dst_y;
};

LUMIGRAB_XCB_COOKIE(xcb_get_image);
struct xcb_get_image_reply_t {
  std::uint8_t response_type;
  std::uint8_t depth;
  std::uint16_t sequence;
  std::uint32_t length;
  xcb_visualid_t visual;
  std::uint8_t pad0[20];
};

LUMIGRAB_XCB_COOKIE(xcb_get_input_focus);
struct xcb_get_input_focus_reply_t {
  std::uint8_t response_type;
  std::uint8_t revert_to;
  std::uint16_t sequence;
  std::uint32_t length;
  xcb_window_t focus;
};

LUMIGRAB_XCB_COOKIE(xcb_query_pointer);
struct xcb_query_pointer_reply_t {
  std::uint8_t response_type;
  std::uint8_t same_screen;
  std::uint16_t sequence;
  std::uint32_t length;
  xcb_window_t root;
  xcb_window_t child;
  std::int16_t root_x;
  std::int16_t root_y;
  std::int16_t win_x;
  std::int16_t win_y;
  std::uint16_t mask;
  std::uint8_t pad0[2];
};

struct xcb_configure_notify_event_t {
  std::uint8_t response_type;
  std::uint8_t pad0;
  std::uint16_t sequence;
  xcb_window_t event;
  xcb_window_t window;
  xcb_window_t above_sibling;
  std::int16_t x;
  std::int16_t y;
  std::uint16_t width;
  std::uint16_t height;
  std::uint16_t border_width;
  std::uint8_t override_redirect;
  std::uint8_t pad1;
};

struct xcb_map_notify_event_t {
  std::uint8_t response_type;
  std::uint8_t pad0;
  std::uint16_t sequence;
  xcb_window_t event;
  xcb_window_t window;
  std::uint8_t override_redirect;
  std::uint8_t pad1[3];
};

struct xcb_unmap_notify_event_t {
  std::uint8_t response_type;
  std::uint8_t pad0;
  std::uint16_t sequence;
  xcb_window_t event;
  xcb_window_t window;
  std::uint8_t from_configure;
  std::uint8_t pad1[3];
};

struct xcb_destroy_notify_event_t {
  std::uint8_t response_type;
  std::uint8_t pad0;
  std::uint16_t sequence;
  xcb_window_t event;
  xcb_window_t window;
};

// --- RandR (randr.h) ---
using xcb_randr_crtc_t = std::uint32_t;
using xcb_randr_output_t = std::uint32_t;
using xcb_randr_mode_t = std::uint32_t;

LUMIGRAB_XCB_COOKIE(xcb_randr_query_version);
struct xcb_randr_query_version_reply_t {
  std::uint8_t response_type;
  std::uint8_t pad0;
  std::uint16_t sequence;
  std::uint32_t length;
  std::uint32_t major_version;
  std::uint32_t minor_version;
  std::uint8_t pad1[16];
};

struct xcb_randr_mode_info_t {
  std::uint32_t id;
  std::uint16_t width;
  std::uint16_t height;
  std::uint32_t dot_clock;
  std::uint16_t hsync_start;
  std::uint16_t hsync_end;
  std::uint16_t htotal;
  std::uint16_t hskew;
  std::uint16_t vsync_start;
  std::uint16_t vsync_end;
  std::uint16_t vtotal;
  std::uint16_t name_len;
  std::uint32_t mode_flags;
};

LUMIGRAB_XCB_COOKIE(xcb_randr_get_screen_resources_current);
struct xcb_randr_get_screen_resources_current_reply_t {
  std::uint8_t response_type;
  std::uint8_t pad0;
  std::uint16_t sequence;
  std::uint32_t length;
  xcb_timestamp_t timestamp;
  xcb_timestamp_t config_timestamp;
  std::uint16_t num_crtcs;
  std::uint16_t num_outputs;
  std::uint16_t num_modes;
  std::uint16_t names_len;
  std::uint8_t pad1[8];
};

LUMIGRAB_XCB_COOKIE(xcb_randr_get_output_info);
struct xcb_randr_get_output_info_reply_t {
  std::uint8_t response_type;
  std::uint8_t status;
  std::uint16_t sequence;
  std::uint32_t length;
  xcb_timestamp_t timestamp;
  xcb_randr_crtc_t crtc;
  std::uint32_t mm_width;
  std::uint32_t mm_height;
  std::uint8_t connection;
  std::uint8_t subpixel_order;
  std::uint16_t num_crtcs;
  std::uint16_t num_modes;
  std::uint16_t num_preferred;
  std::uint16_t num_clones;
  std::uint16_t name_len;
};

LUMIGRAB_XCB_COOKIE(xcb_randr_get_crtc_info);
struct xcb_randr_get_crtc_info_reply_t {
  std::uint8_t response_type;
  std::uint8_t status;
  std::uint16_t sequence;
  std::uint32_t length;
  xcb_timestamp_t timestamp;
  std::int16_t x;
  std::int16_t y;
  std::uint16_t width;
  std::uint16_t height;
  xcb_randr_mode_t mode;
  std::uint16_t rotation;
  std::uint16_t rotations;
  std::uint16_t num_outputs;
  std::uint16_t num_possible_outputs;
};

struct xcb_randr_monitor_info_t {
  xcb_atom_t name;
  std::uint8_t primary;
  std::uint8_t automatic;
  std::uint16_t nOutput;
  std::int16_t x;
  std::int16_t y;
  std::uint16_t width;
  std::uint16_t height;
  std::uint32_t width_in_millimeters;
  std::uint32_t height_in_millimeters;
};

struct xcb_randr_monitor_info_iterator_t {
  xcb_randr_monitor_info_t* data;
  int rem;
  int index;
};

LUMIGRAB_XCB_COOKIE(xcb_randr_get_monitors);
struct xcb_randr_get_monitors_reply_t {
  std::uint8_t response_type;
  std::uint8_t pad0;
  std::uint16_t sequence;
  std::uint32_t length;
  xcb_timestamp_t timestamp;
  std::uint32_t nMonitors;
  std::uint32_t nOutputs;
  std::uint8_t pad1[12];
};

// --- MIT-SHM (shm.h) ---
using xcb_shm_seg_t = std::uint32_t;

LUMIGRAB_XCB_COOKIE(xcb_shm_query_version);
struct xcb_shm_query_version_reply_t {
  std::uint8_t response_type;
  std::uint8_t shared_pixmaps;
  std::uint16_t sequence;
  std::uint32_t length;
  std::uint16_t major_version;
  std::uint16_t minor_version;
  std::uint16_t uid;
  std::uint16_t gid;
  std::uint8_t pixmap_format;
  std::uint8_t pad0[15];
};

LUMIGRAB_XCB_COOKIE(xcb_shm_get_image);
struct xcb_shm_get_image_reply_t {
  std::uint8_t response_type;
  std::uint8_t depth;
  std::uint16_t sequence;
  std::uint32_t length;
  xcb_visualid_t visual;
  std::uint32_t size;
};

// --- XFIXES (xfixes.h) ---
using xcb_xfixes_region_t = std::uint32_t;

LUMIGRAB_XCB_COOKIE(xcb_xfixes_query_version);
struct xcb_xfixes_query_version_reply_t {
  std::uint8_t response_type;
  std::uint8_t pad0;
  std::uint16_t sequence;
  std::uint32_t length;
  std::uint32_t major_version;
  std::uint32_t minor_version;
  std::uint8_t pad1[16];
};

LUMIGRAB_XCB_COOKIE(xcb_xfixes_get_cursor_image);
struct xcb_xfixes_get_cursor_image_reply_t {
  std::uint8_t response_type;
  std::uint8_t pad0;
  std::uint16_t sequence;
  std::uint32_t length;
  std::int16_t x;
  std::int16_t y;
  std::uint16_t width;
  std::uint16_t height;
  std::uint16_t xhot;
  std::uint16_t yhot;
  std::uint32_t cursor_serial;
  std::uint8_t pad1[8];
};

LUMIGRAB_XCB_COOKIE(xcb_xfixes_fetch_region);
struct xcb_xfixes_fetch_region_reply_t {
  std::uint8_t response_type;
  std::uint8_t pad0;
  std::uint16_t sequence;
  std::uint32_t length;
  xcb_rectangle_t extents;
  std::uint8_t pad1[16];
};

// --- DAMAGE (damage.h) ---
using xcb_damage_damage_t = std::uint32_t;

LUMIGRAB_XCB_COOKIE(xcb_damage_query_version);
struct xcb_damage_query_version_reply_t {
  std::uint8_t response_type;
  std::uint8_t pad0;
  std::uint16_t sequence;
  std::uint32_t length;
  std::uint32_t major_version;
  std::uint32_t minor_version;
  std::uint8_t pad1[16];
};

struct xcb_damage_notify_event_t {
  std::uint8_t response_type;
  std::uint8_t level;
  std::uint16_t sequence;
  xcb_drawable_t drawable;
  xcb_damage_damage_t damage;
  xcb_timestamp_t timestamp;
  xcb_rectangle_t area;
  xcb_rectangle_t geometry;
};

// --- Composite (composite.h) ---
LUMIGRAB_XCB_COOKIE(xcb_composite_query_version);
struct xcb_composite_query_version_reply_t {
  std::uint8_t response_type;
  std::uint8_t pad0;
  std::uint16_t sequence;
  std::uint32_t length;
  std::uint32_t major_version;
  std::uint32_t minor_version;
  std::uint8_t pad1[16];
};

#undef LUMIGRAB_XCB_COOKIE

// --- constants ---
inline constexpr std::uint32_t XCB_NONE = 0;
inline constexpr std::uint32_t XCB_CURRENT_TIME = 0;
inline constexpr std::uint32_t XCB_COPY_FROM_PARENT = 0;

// Connection errors (xcb_connection_has_error).
inline constexpr int XCB_CONN_ERROR = 1;
inline constexpr int XCB_CONN_CLOSED_EXT_NOTSUPPORTED = 2;
inline constexpr int XCB_CONN_CLOSED_MEM_INSUFFICIENT = 3;
inline constexpr int XCB_CONN_CLOSED_REQ_LEN_EXCEED = 4;
inline constexpr int XCB_CONN_CLOSED_PARSE_ERR = 5;
inline constexpr int XCB_CONN_CLOSED_INVALID_SCREEN = 6;
inline constexpr int XCB_CONN_CLOSED_FDPASSING_FAILED = 7;

enum : std::uint32_t {
  XCB_ATOM_NONE = 0,
  XCB_ATOM_ANY = 0,
  XCB_ATOM_ATOM = 4,
  XCB_ATOM_CARDINAL = 6,
  XCB_ATOM_STRING = 31,
  XCB_ATOM_WINDOW = 33,
  XCB_ATOM_WM_NAME = 39,
};

enum : std::uint8_t {
  XCB_MAP_NOTIFY = 19,
  XCB_UNMAP_NOTIFY = 18,
  XCB_DESTROY_NOTIFY = 17,
  XCB_CONFIGURE_NOTIFY = 22,
};

enum : std::uint32_t {
  XCB_EVENT_MASK_NO_EVENT = 0,
  XCB_EVENT_MASK_STRUCTURE_NOTIFY = 131072,
  XCB_EVENT_MASK_PROPERTY_CHANGE = 4194304,
};

enum : std::uint32_t { XCB_CW_EVENT_MASK = 2048 };

enum : std::uint8_t {
  XCB_MAP_STATE_UNMAPPED = 0,
  XCB_MAP_STATE_UNVIEWABLE = 1,
  XCB_MAP_STATE_VIEWABLE = 2,
};

enum : std::uint8_t {
  XCB_IMAGE_FORMAT_XY_BITMAP = 0,
  XCB_IMAGE_FORMAT_XY_PIXMAP = 1,
  XCB_IMAGE_FORMAT_Z_PIXMAP = 2,
};

enum : std::uint8_t { XCB_IMAGE_ORDER_LSB_FIRST = 0, XCB_IMAGE_ORDER_MSB_FIRST = 1 };

enum : std::uint8_t {
  XCB_VISUAL_CLASS_STATIC_GRAY = 0,
  XCB_VISUAL_CLASS_GRAY_SCALE = 1,
  XCB_VISUAL_CLASS_STATIC_COLOR = 2,
  XCB_VISUAL_CLASS_PSEUDO_COLOR = 3,
  XCB_VISUAL_CLASS_TRUE_COLOR = 4,
  XCB_VISUAL_CLASS_DIRECT_COLOR = 5,
};

enum : std::uint32_t { XCB_INPUT_FOCUS_POINTER_ROOT = 1 };

enum : std::uint32_t {
  XCB_RANDR_MODE_FLAG_INTERLACE = 16,
  XCB_RANDR_MODE_FLAG_DOUBLE_SCAN = 32,
};

enum : std::uint8_t {
  XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES = 0,
  XCB_DAMAGE_REPORT_LEVEL_DELTA_RECTANGLES = 1,
  XCB_DAMAGE_REPORT_LEVEL_BOUNDING_BOX = 2,
  XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY = 3,
};
// The DAMAGE extension's only event, relative to its first event number.
inline constexpr std::uint8_t XCB_DAMAGE_NOTIFY = 0;

enum : std::uint8_t {
  XCB_COMPOSITE_REDIRECT_AUTOMATIC = 0,
  XCB_COMPOSITE_REDIRECT_MANUAL = 1,
};

// --- functions ---
// X(library, result, name, parameters, arguments)
#define LUMIGRAB_XCB_FUNCTIONS(X)                                                                  \
  X(Xcb, xcb_connection_t*, xcb_connect, (const char* displayname, int* screenp),                  \
    (displayname, screenp))                                                                        \
  X(Xcb, void, xcb_disconnect, (xcb_connection_t * c), (c))                                        \
  X(Xcb, int, xcb_connection_has_error, (xcb_connection_t * c), (c))                               \
  X(Xcb, int, xcb_get_file_descriptor, (xcb_connection_t * c), (c))                                \
  X(Xcb, int, xcb_flush, (xcb_connection_t * c), (c))                                              \
  X(Xcb, std::uint32_t, xcb_generate_id, (xcb_connection_t * c), (c))                              \
  X(Xcb, std::uint32_t, xcb_get_maximum_request_length, (xcb_connection_t * c), (c))               \
  X(Xcb, const xcb_setup_t*, xcb_get_setup, (xcb_connection_t * c), (c))                           \
  X(Xcb, xcb_screen_iterator_t, xcb_setup_roots_iterator, (const xcb_setup_t* r), (r))             \
  X(Xcb, void, xcb_screen_next, (xcb_screen_iterator_t * i), (i))                                  \
  X(Xcb, xcb_format_iterator_t, xcb_setup_pixmap_formats_iterator, (const xcb_setup_t* r), (r))    \
  X(Xcb, void, xcb_format_next, (xcb_format_iterator_t * i), (i))                                  \
  X(Xcb, xcb_format_t*, xcb_setup_pixmap_formats, (const xcb_setup_t* r), (r))                     \
  X(Xcb, int, xcb_setup_pixmap_formats_length, (const xcb_setup_t* r), (r))                        \
  X(Xcb, xcb_depth_iterator_t, xcb_screen_allowed_depths_iterator, (const xcb_screen_t* r), (r))   \
  X(Xcb, void, xcb_depth_next, (xcb_depth_iterator_t * i), (i))                                    \
  X(Xcb, xcb_visualtype_iterator_t, xcb_depth_visuals_iterator, (const xcb_depth_t* r), (r))       \
  X(Xcb, void, xcb_visualtype_next, (xcb_visualtype_iterator_t * i), (i))                          \
  X(Xcb, void, xcb_prefetch_extension_data, (xcb_connection_t * c, xcb_extension_t * ext),         \
    (c, ext))                                                                                      \
  X(Xcb, const xcb_query_extension_reply_t*, xcb_get_extension_data,                               \
    (xcb_connection_t * c, xcb_extension_t * ext), (c, ext))                                       \
  X(Xcb, xcb_generic_event_t*, xcb_poll_for_event, (xcb_connection_t * c), (c))                    \
  X(Xcb, xcb_generic_event_t*, xcb_wait_for_event, (xcb_connection_t * c), (c))                    \
  X(Xcb, int, xcb_poll_for_reply,                                                                  \
    (xcb_connection_t * c, unsigned int request, void** reply, xcb_generic_error_t** error),       \
    (c, request, reply, error))                                                                    \
  X(Xcb, void, xcb_discard_reply, (xcb_connection_t * c, unsigned int sequence), (c, sequence))    \
  X(Xcb, xcb_generic_error_t*, xcb_request_check,                                                  \
    (xcb_connection_t * c, xcb_void_cookie_t cookie), (c, cookie))                                 \
  X(Xcb, xcb_intern_atom_cookie_t, xcb_intern_atom,                                                \
    (xcb_connection_t * c, std::uint8_t only_if_exists, std::uint16_t name_len, const char* name), \
    (c, only_if_exists, name_len, name))                                                           \
  X(Xcb, xcb_get_atom_name_cookie_t, xcb_get_atom_name, (xcb_connection_t * c, xcb_atom_t atom),   \
    (c, atom))                                                                                     \
  X(Xcb, char*, xcb_get_atom_name_name, (const xcb_get_atom_name_reply_t* r), (r))                 \
  X(Xcb, int, xcb_get_atom_name_name_length, (const xcb_get_atom_name_reply_t* r), (r))            \
  X(Xcb, xcb_get_property_cookie_t, xcb_get_property,                                              \
    (xcb_connection_t * c, std::uint8_t _delete, xcb_window_t window, xcb_atom_t property,         \
     xcb_atom_t type, std::uint32_t long_offset, std::uint32_t long_length),                       \
    (c, _delete, window, property, type, long_offset, long_length))                                \
  X(Xcb, void*, xcb_get_property_value, (const xcb_get_property_reply_t* r), (r))                  \
  X(Xcb, int, xcb_get_property_value_length, (const xcb_get_property_reply_t* r), (r))             \
  X(Xcb, xcb_get_window_attributes_cookie_t, xcb_get_window_attributes,                            \
    (xcb_connection_t * c, xcb_window_t window), (c, window))                                      \
  X(Xcb, xcb_void_cookie_t, xcb_change_window_attributes,                                          \
    (xcb_connection_t * c, xcb_window_t window, std::uint32_t value_mask, const void* value_list), \
    (c, window, value_mask, value_list))                                                           \
  X(Xcb, xcb_query_tree_cookie_t, xcb_query_tree, (xcb_connection_t * c, xcb_window_t window),     \
    (c, window))                                                                                   \
  X(Xcb, xcb_window_t*, xcb_query_tree_children, (const xcb_query_tree_reply_t* r), (r))           \
  X(Xcb, int, xcb_query_tree_children_length, (const xcb_query_tree_reply_t* r), (r))              \
  X(Xcb, xcb_get_geometry_cookie_t, xcb_get_geometry,                                              \
    (xcb_connection_t * c, xcb_drawable_t drawable), (c, drawable))                                \
  X(Xcb, xcb_translate_coordinates_cookie_t, xcb_translate_coordinates,                            \
    (xcb_connection_t * c, xcb_window_t src_window, xcb_window_t dst_window, std::int16_t src_x,   \
     std::int16_t src_y),                                                                          \
    (c, src_window, dst_window, src_x, src_y))                                                     \
  X(Xcb, xcb_get_image_cookie_t, xcb_get_image,                                                    \
    (xcb_connection_t * c, std::uint8_t format, xcb_drawable_t drawable, std::int16_t x,           \
     std::int16_t y, std::uint16_t width, std::uint16_t height, std::uint32_t plane_mask),         \
    (c, format, drawable, x, y, width, height, plane_mask))                                        \
  X(Xcb, std::uint8_t*, xcb_get_image_data, (const xcb_get_image_reply_t* r), (r))                 \
  X(Xcb, int, xcb_get_image_data_length, (const xcb_get_image_reply_t* r), (r))                    \
  X(Xcb, xcb_get_input_focus_cookie_t, xcb_get_input_focus, (xcb_connection_t * c), (c))           \
  X(Xcb, xcb_query_pointer_cookie_t, xcb_query_pointer,                                            \
    (xcb_connection_t * c, xcb_window_t window), (c, window))                                      \
  X(Xcb, xcb_void_cookie_t, xcb_free_pixmap, (xcb_connection_t * c, xcb_pixmap_t pixmap),          \
    (c, pixmap))                                                                                   \
  X(Randr, xcb_randr_query_version_cookie_t, xcb_randr_query_version,                              \
    (xcb_connection_t * c, std::uint32_t major_version, std::uint32_t minor_version),              \
    (c, major_version, minor_version))                                                             \
  X(Randr, xcb_randr_get_monitors_cookie_t, xcb_randr_get_monitors,                                \
    (xcb_connection_t * c, xcb_window_t window, std::uint8_t get_active), (c, window, get_active)) \
  X(Randr, xcb_randr_monitor_info_iterator_t, xcb_randr_get_monitors_monitors_iterator,            \
    (const xcb_randr_get_monitors_reply_t* r), (r))                                                \
  X(Randr, void, xcb_randr_monitor_info_next, (xcb_randr_monitor_info_iterator_t * i), (i))        \
  X(Randr, xcb_randr_output_t*, xcb_randr_monitor_info_outputs,                                    \
    (const xcb_randr_monitor_info_t* r), (r))                                                      \
  X(Randr, int, xcb_randr_monitor_info_outputs_length, (const xcb_randr_monitor_info_t* r), (r))   \
  X(Randr, xcb_randr_get_screen_resources_current_cookie_t,                                        \
    xcb_randr_get_screen_resources_current, (xcb_connection_t * c, xcb_window_t window),           \
    (c, window))                                                                                   \
  X(Randr, xcb_randr_crtc_t*, xcb_randr_get_screen_resources_current_crtcs,                        \
    (const xcb_randr_get_screen_resources_current_reply_t* r), (r))                                \
  X(Randr, int, xcb_randr_get_screen_resources_current_crtcs_length,                               \
    (const xcb_randr_get_screen_resources_current_reply_t* r), (r))                                \
  X(Randr, xcb_randr_mode_info_t*, xcb_randr_get_screen_resources_current_modes,                   \
    (const xcb_randr_get_screen_resources_current_reply_t* r), (r))                                \
  X(Randr, int, xcb_randr_get_screen_resources_current_modes_length,                               \
    (const xcb_randr_get_screen_resources_current_reply_t* r), (r))                                \
  X(Randr, xcb_randr_get_output_info_cookie_t, xcb_randr_get_output_info,                          \
    (xcb_connection_t * c, xcb_randr_output_t output, xcb_timestamp_t config_timestamp),           \
    (c, output, config_timestamp))                                                                 \
  X(Randr, std::uint8_t*, xcb_randr_get_output_info_name,                                          \
    (const xcb_randr_get_output_info_reply_t* r), (r))                                             \
  X(Randr, int, xcb_randr_get_output_info_name_length,                                             \
    (const xcb_randr_get_output_info_reply_t* r), (r))                                             \
  X(Randr, xcb_randr_get_crtc_info_cookie_t, xcb_randr_get_crtc_info,                              \
    (xcb_connection_t * c, xcb_randr_crtc_t crtc, xcb_timestamp_t config_timestamp),               \
    (c, crtc, config_timestamp))                                                                   \
  X(Shm, xcb_shm_query_version_cookie_t, xcb_shm_query_version, (xcb_connection_t * c), (c))       \
  X(Shm, xcb_void_cookie_t, xcb_shm_attach_checked,                                                \
    (xcb_connection_t * c, xcb_shm_seg_t shmseg, std::uint32_t shmid, std::uint8_t read_only),     \
    (c, shmseg, shmid, read_only))                                                                 \
  X(Shm, xcb_void_cookie_t, xcb_shm_detach, (xcb_connection_t * c, xcb_shm_seg_t shmseg),          \
    (c, shmseg))                                                                                   \
  X(Shm, xcb_shm_get_image_cookie_t, xcb_shm_get_image,                                            \
    (xcb_connection_t * c, xcb_drawable_t drawable, std::int16_t x, std::int16_t y,                \
     std::uint16_t width, std::uint16_t height, std::uint32_t plane_mask, std::uint8_t format,     \
     xcb_shm_seg_t shmseg, std::uint32_t offset),                                                  \
    (c, drawable, x, y, width, height, plane_mask, format, shmseg, offset))                        \
  X(Xfixes, xcb_xfixes_query_version_cookie_t, xcb_xfixes_query_version,                           \
    (xcb_connection_t * c, std::uint32_t client_major_version,                                     \
     std::uint32_t client_minor_version),                                                          \
    (c, client_major_version, client_minor_version))                                               \
  X(Xfixes, xcb_xfixes_get_cursor_image_cookie_t, xcb_xfixes_get_cursor_image,                     \
    (xcb_connection_t * c), (c))                                                                   \
  X(Xfixes, std::uint32_t*, xcb_xfixes_get_cursor_image_cursor_image,                              \
    (const xcb_xfixes_get_cursor_image_reply_t* r), (r))                                           \
  X(Xfixes, int, xcb_xfixes_get_cursor_image_cursor_image_length,                                  \
    (const xcb_xfixes_get_cursor_image_reply_t* r), (r))                                           \
  X(Xfixes, xcb_void_cookie_t, xcb_xfixes_create_region,                                           \
    (xcb_connection_t * c, xcb_xfixes_region_t region, std::uint32_t rectangles_len,               \
     const xcb_rectangle_t* rectangles),                                                           \
    (c, region, rectangles_len, rectangles))                                                       \
  X(Xfixes, xcb_void_cookie_t, xcb_xfixes_destroy_region,                                          \
    (xcb_connection_t * c, xcb_xfixes_region_t region), (c, region))                               \
  X(Xfixes, xcb_xfixes_fetch_region_cookie_t, xcb_xfixes_fetch_region,                             \
    (xcb_connection_t * c, xcb_xfixes_region_t region), (c, region))                               \
  X(Xfixes, xcb_rectangle_t*, xcb_xfixes_fetch_region_rectangles,                                  \
    (const xcb_xfixes_fetch_region_reply_t* r), (r))                                               \
  X(Xfixes, int, xcb_xfixes_fetch_region_rectangles_length,                                        \
    (const xcb_xfixes_fetch_region_reply_t* r), (r))                                               \
  X(Damage, xcb_damage_query_version_cookie_t, xcb_damage_query_version,                           \
    (xcb_connection_t * c, std::uint32_t client_major_version,                                     \
     std::uint32_t client_minor_version),                                                          \
    (c, client_major_version, client_minor_version))                                               \
  X(Damage, xcb_void_cookie_t, xcb_damage_create,                                                  \
    (xcb_connection_t * c, xcb_damage_damage_t damage, xcb_drawable_t drawable,                    \
     std::uint8_t level),                                                                          \
    (c, damage, drawable, level))                                                                  \
  X(Damage, xcb_void_cookie_t, xcb_damage_destroy,                                                 \
    (xcb_connection_t * c, xcb_damage_damage_t damage), (c, damage))                               \
  X(Damage, xcb_void_cookie_t, xcb_damage_subtract,                                                \
    (xcb_connection_t * c, xcb_damage_damage_t damage, xcb_xfixes_region_t repair,                 \
     xcb_xfixes_region_t parts),                                                                   \
    (c, damage, repair, parts))                                                                    \
  X(Composite, xcb_composite_query_version_cookie_t, xcb_composite_query_version,                  \
    (xcb_connection_t * c, std::uint32_t client_major_version,                                     \
     std::uint32_t client_minor_version),                                                          \
    (c, client_major_version, client_minor_version))                                               \
  X(Composite, xcb_void_cookie_t, xcb_composite_redirect_window,                                   \
    (xcb_connection_t * c, xcb_window_t window, std::uint8_t update), (c, window, update))         \
  X(Composite, xcb_void_cookie_t, xcb_composite_unredirect_window,                                 \
    (xcb_connection_t * c, xcb_window_t window, std::uint8_t update), (c, window, update))         \
  X(Composite, xcb_void_cookie_t, xcb_composite_name_window_pixmap,                                \
    (xcb_connection_t * c, xcb_window_t window, xcb_pixmap_t pixmap), (c, window, pixmap))

// X(library, request): `<request>_reply`, which takes the reply to a cookie of
// `<request>`.
#define LUMIGRAB_XCB_REPLIES(X)                    \
  X(Xcb, xcb_intern_atom)                          \
  X(Xcb, xcb_get_atom_name)                        \
  X(Xcb, xcb_get_property)                         \
  X(Xcb, xcb_get_window_attributes)                \
  X(Xcb, xcb_query_tree)                           \
  X(Xcb, xcb_get_geometry)                         \
  X(Xcb, xcb_translate_coordinates)                \
  X(Xcb, xcb_get_image)                            \
  X(Xcb, xcb_get_input_focus)                      \
  X(Xcb, xcb_query_pointer)                        \
  X(Randr, xcb_randr_query_version)                \
  X(Randr, xcb_randr_get_monitors)                 \
  X(Randr, xcb_randr_get_screen_resources_current) \
  X(Randr, xcb_randr_get_output_info)              \
  X(Randr, xcb_randr_get_crtc_info)                \
  X(Shm, xcb_shm_query_version)                    \
  X(Shm, xcb_shm_get_image)                        \
  X(Xfixes, xcb_xfixes_query_version)              \
  X(Xfixes, xcb_xfixes_get_cursor_image)           \
  X(Xfixes, xcb_xfixes_fetch_region)               \
  X(Damage, xcb_damage_query_version)              \
  X(Composite, xcb_composite_query_version)

// The extensions, by the library that defines each one's id (libxcb's own
// `xcb_<name>_id` objects, so that requests share its cache of extension data).
// X(library, name)
#define LUMIGRAB_XCB_EXTENSIONS(X) \
  X(Randr, randr)                  \
  X(Shm, shm)                      \
  X(Xfixes, xfixes)                \
  X(Damage, damage)                \
  X(Composite, composite)

// Where each function comes from, and what a user installs to get it.
enum class Library : std::uint8_t { Xcb, Randr, Shm, Xfixes, Damage, Composite, Count };

namespace loaded {
#define LUMIGRAB_XCB_POINTER(library, result, name, parameters, arguments) \
  extern result(*name) parameters;
LUMIGRAB_XCB_FUNCTIONS(LUMIGRAB_XCB_POINTER)
#undef LUMIGRAB_XCB_POINTER
#define LUMIGRAB_XCB_REPLY_POINTER(library, request)                                  \
  extern request##_reply_t* (*request##_reply)(xcb_connection_t*, request##_cookie_t, \
                                               xcb_generic_error_t**);
LUMIGRAB_XCB_REPLIES(LUMIGRAB_XCB_REPLY_POINTER)
#undef LUMIGRAB_XCB_REPLY_POINTER
#define LUMIGRAB_XCB_EXTENSION_POINTER(library, name) extern xcb_extension_t* name;
LUMIGRAB_XCB_EXTENSIONS(LUMIGRAB_XCB_EXTENSION_POINTER)
#undef LUMIGRAB_XCB_EXTENSION_POINTER
}  // namespace loaded

#define LUMIGRAB_XCB_FORWARD(library, result, name, parameters, arguments) \
  inline result name parameters {                                          \
    return loaded::name arguments;                                         \
  }
LUMIGRAB_XCB_FUNCTIONS(LUMIGRAB_XCB_FORWARD)
#undef LUMIGRAB_XCB_FORWARD
#define LUMIGRAB_XCB_REPLY_FORWARD(library, request)                                        \
  inline request##_reply_t* request##_reply(xcb_connection_t* c, request##_cookie_t cookie, \
                                            xcb_generic_error_t** e) {                      \
    return loaded::request##_reply(c, cookie, e);                                           \
  }
LUMIGRAB_XCB_REPLIES(LUMIGRAB_XCB_REPLY_FORWARD)
#undef LUMIGRAB_XCB_REPLY_FORWARD

// libxcb's extension ids are objects whose address requests pass
// (`&xcb_randr_id`); these name the loaded library's own objects.
#define xcb_randr_id (*::lumigrab::xcb::loaded::randr)
#define xcb_shm_id (*::lumigrab::xcb::loaded::shm)
#define xcb_xfixes_id (*::lumigrab::xcb::loaded::xfixes)
#define xcb_damage_id (*::lumigrab::xcb::loaded::damage)
#define xcb_composite_id (*::lumigrab::xcb::loaded::composite)

// Opens the libraries and looks up every function and extension id, once per
// process. Nothing when all are there; otherwise what is missing and which
// Debian package provides it, the same text on every later call.
const std::optional<std::string>& load_xcb();

}  // namespace lumigrab::xcb

namespace lumigrab {
// The backend calls these under their libxcb names.
using namespace lumigrab::xcb;  // NOLINT(google-build-using-namespace)
}  // namespace lumigrab
