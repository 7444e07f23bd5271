/* Test harness only: preloaded into xdg-desktop-portal-wlr so that it streams
 * from shared memory on a compositor that renders in software.
 *
 * That portal backend waits for the screen-copy frame's linux_dmabuf event
 * before it offers any buffer, and a compositor without a GPU never sends
 * one. This wraps the listener of every zwlr_screencopy_frame_v1 the backend
 * makes: after each shared-memory buffer event it also delivers a
 * linux_dmabuf event of the same format (as a DRM code) and size, which lets
 * the backend go on and offer shared memory. Every other event passes
 * through unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

struct wl_proxy;
const char *wl_proxy_get_class(struct wl_proxy *proxy);

typedef void (*handler)(void);

struct wrapped {
  handler *events;
  void *data;
};

typedef void (*buffer_fn)(void *, struct wl_proxy *, uint32_t, uint32_t, uint32_t, uint32_t);
typedef void (*flags_fn)(void *, struct wl_proxy *, uint32_t);
typedef void (*ready_fn)(void *, struct wl_proxy *, uint32_t, uint32_t, uint32_t);
typedef void (*plain_fn)(void *, struct wl_proxy *);
typedef void (*damage_fn)(void *, struct wl_proxy *, uint32_t, uint32_t, uint32_t, uint32_t);
typedef void (*dmabuf_fn)(void *, struct wl_proxy *, uint32_t, uint32_t, uint32_t);

static uint32_t drm_format(uint32_t shm_format) {
  switch (shm_format) {
    case 0: return 0x34325241; /* ARGB8888: 'AR24' */
    case 1: return 0x34325258; /* XRGB8888: 'XR24' */
    default: return shm_format; /* the other wl_shm codes are DRM codes */
  }
}

static void on_buffer(void *data, struct wl_proxy *frame, uint32_t format, uint32_t width,
                      uint32_t height, uint32_t stride) {
  struct wrapped *w = data;
  ((buffer_fn)w->events[0])(w->data, frame, format, width, height, stride);
  if (w->events[5] != NULL) {
    ((dmabuf_fn)w->events[5])(w->data, frame, drm_format(format), width, height);
  }
}
static void on_flags(void *data, struct wl_proxy *frame, uint32_t flags) {
  struct wrapped *w = data;
  ((flags_fn)w->events[1])(w->data, frame, flags);
}
static void on_ready(void *data, struct wl_proxy *frame, uint32_t hi, uint32_t lo, uint32_t ns) {
  struct wrapped *w = data;
  ((ready_fn)w->events[2])(w->data, frame, hi, lo, ns);
}
static void on_failed(void *data, struct wl_proxy *frame) {
  struct wrapped *w = data;
  ((plain_fn)w->events[3])(w->data, frame);
}
static void on_damage(void *data, struct wl_proxy *frame, uint32_t x, uint32_t y, uint32_t width,
                      uint32_t height) {
  struct wrapped *w = data;
  if (w->events[4] != NULL) {
    ((damage_fn)w->events[4])(w->data, frame, x, y, width, height);
  }
}
static void on_linux_dmabuf(void *data, struct wl_proxy *frame, uint32_t format, uint32_t width,
                            uint32_t height) {
  struct wrapped *w = data;
  if (w->events[5] != NULL) {
    ((dmabuf_fn)w->events[5])(w->data, frame, format, width, height);
  }
}
static void on_buffer_done(void *data, struct wl_proxy *frame) {
  struct wrapped *w = data;
  if (w->events[6] != NULL) {
    ((plain_fn)w->events[6])(w->data, frame);
  }
}

static handler wrapper_events[] = {
    (handler)on_buffer, (handler)on_flags,        (handler)on_ready,       (handler)on_failed,
    (handler)on_damage, (handler)on_linux_dmabuf, (handler)on_buffer_done,
};

int wl_proxy_add_listener(struct wl_proxy *proxy, handler *events, void *data) {
  static int (*real)(struct wl_proxy *, handler *, void *);
  if (real == NULL) {
    *(void **)&real = dlsym(RTLD_NEXT, "wl_proxy_add_listener");
  }
  if (strcmp(wl_proxy_get_class(proxy), "zwlr_screencopy_frame_v1") != 0) {
    return real(proxy, events, data);
  }
  /* One per frame, kept for the process's life: a few bytes a frame. */
  struct wrapped *w = malloc(sizeof *w);
  if (w == NULL) {
    return real(proxy, events, data);
  }
  w->events = events;
  w->data = data;
  return real(proxy, wrapper_events, w);
}
