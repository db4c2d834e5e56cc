// Loaded into xdg-desktop-portal-wlr in the Wayland cases (LD_PRELOAD). Debian 12's back end
// (0.7) refuses to cast unless the compositor also names a DMA-BUF format for each frame,
// which no compositor without a GPU does (wlroots' pixman renderer): its check compares the
// portal's own interface version where the screencopy version was meant. Without a GPU it
// then negotiates shared-memory buffers with PipeWire anyway, so this shim names the frame's
// shared-memory format as its DMA-BUF format too, and the real shared-memory path runs.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <string.h>

struct wl_proxy;
const char* wl_proxy_get_class(struct wl_proxy* proxy);

// The events of zwlr_screencopy_frame_v1, version 3, in protocol order.
struct frame_listener {
    void (*buffer)(void* data, struct wl_proxy* frame, uint32_t format, uint32_t width, uint32_t height,
                   uint32_t stride);
    void (*flags)(void* data, struct wl_proxy* frame, uint32_t flags);
    void (*ready)(void* data, struct wl_proxy* frame, uint32_t sec_hi, uint32_t sec_lo, uint32_t nsec);
    void (*failed)(void* data, struct wl_proxy* frame);
    void (*damage)(void* data, struct wl_proxy* frame, uint32_t x, uint32_t y, uint32_t width, uint32_t height);
    void (*linux_dmabuf)(void* data, struct wl_proxy* frame, uint32_t format, uint32_t width, uint32_t height);
    void (*buffer_done)(void* data, struct wl_proxy* frame);
};

static const struct frame_listener* g_original;

static void buffer_with_dmabuf(void* data, struct wl_proxy* frame, uint32_t format, uint32_t width, uint32_t height,
                               uint32_t stride)
{
    g_original->buffer(data, frame, format, width, height, stride);
    // wl_shm names its two first formats 0 and 1; the others are DRM fourcc codes already.
    const uint32_t fourcc = format == 0 ? 0x34325241u : format == 1 ? 0x34325258u : format;
    g_original->linux_dmabuf(data, frame, fourcc, width, height);
}

static void forward_flags(void* data, struct wl_proxy* frame, uint32_t flags)
{
    g_original->flags(data, frame, flags);
}

static void forward_ready(void* data, struct wl_proxy* frame, uint32_t sec_hi, uint32_t sec_lo, uint32_t nsec)
{
    g_original->ready(data, frame, sec_hi, sec_lo, nsec);
}

static void forward_failed(void* data, struct wl_proxy* frame)
{
    g_original->failed(data, frame);
}

static void forward_damage(void* data, struct wl_proxy* frame, uint32_t x, uint32_t y, uint32_t width, uint32_t height)
{
    g_original->damage(data, frame, x, y, width, height);
}

static void ignore_dmabuf(void* data, struct wl_proxy* frame, uint32_t format, uint32_t width, uint32_t height)
{
    (void)data, (void)frame, (void)format, (void)width, (void)height;
}

static void forward_buffer_done(void* data, struct wl_proxy* frame)
{
    g_original->buffer_done(data, frame);
}

static const struct frame_listener g_shimmed = {buffer_with_dmabuf, forward_flags, forward_ready,      forward_failed,
                                                forward_damage,     ignore_dmabuf, forward_buffer_done};

int wl_proxy_add_listener(struct wl_proxy* proxy, void (**implementation)(void), void* data)
{
    typedef int (*add_listener)(struct wl_proxy*, void (**)(void), void*);
    static add_listener real;
    if (real == NULL) real = (add_listener)dlsym(RTLD_NEXT, "wl_proxy_add_listener");
    if (strcmp(wl_proxy_get_class(proxy), "zwlr_screencopy_frame_v1") == 0) {
        g_original = (const struct frame_listener*)implementation;
        implementation = (void (**)(void)) & g_shimmed;
    }
    return real(proxy, implementation, data);
}
