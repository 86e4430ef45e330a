/* Test-only preload for xdg-desktop-portal-wlr 0.7 on a compositor without DMA-BUF (wlroots'
 * software renderer): xdpw refuses to start a cast ("unable to receive a valid format from
 * wlr_screencopy") unless the screencopy frame also offers a linux-dmabuf format, although it
 * then streams through wl_shm. After each wl_shm `buffer` event of a zwlr_screencopy_frame_v1,
 * this repeats the same format and size as a `linux_dmabuf` event; nothing else changes.
 * Preloaded into the portal back end only, never into the program under test. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <string.h>

struct wl_proxy;
extern const char* wl_proxy_get_class(struct wl_proxy* proxy);

/* zwlr_screencopy_frame_v1_listener as of protocol version 3 */
struct frame_listener {
    void (*buffer)(void*, struct wl_proxy*, uint32_t, uint32_t, uint32_t, uint32_t);
    void (*flags)(void*, struct wl_proxy*, uint32_t);
    void (*ready)(void*, struct wl_proxy*, uint32_t, uint32_t, uint32_t);
    void (*failed)(void*, struct wl_proxy*);
    void (*damage)(void*, struct wl_proxy*, uint32_t, uint32_t, uint32_t, uint32_t);
    void (*linux_dmabuf)(void*, struct wl_proxy*, uint32_t, uint32_t, uint32_t);
    void (*buffer_done)(void*, struct wl_proxy*);
};

static const struct frame_listener* original; /* xdpw installs one static listener */
static struct frame_listener wrapped;

static uint32_t fourcc(char a, char b, char c, char d) {
    return (uint32_t)a | ((uint32_t)b << 8) | ((uint32_t)c << 16) | ((uint32_t)d << 24);
}

static void on_buffer(void* data, struct wl_proxy* frame, uint32_t format, uint32_t width,
                      uint32_t height, uint32_t stride) {
    original->buffer(data, frame, format, width, height, stride);
    /* wl_shm codes are DRM fourccs, except ARGB8888 (0) and XRGB8888 (1) */
    uint32_t drm = format == 0   ? fourcc('A', 'R', '2', '4')
                   : format == 1 ? fourcc('X', 'R', '2', '4')
                                 : format;
    original->linux_dmabuf(data, frame, drm, width, height);
}

int wl_proxy_add_listener(struct wl_proxy* proxy, void (**implementation)(void), void* data) {
    static int (*real)(struct wl_proxy*, void (**)(void), void*);
    if (!real)
        real = (int (*)(struct wl_proxy*, void (**)(void), void*))dlsym(RTLD_NEXT,
                                                                        "wl_proxy_add_listener");
    const char* name = wl_proxy_get_class(proxy);
    if (name && strcmp(name, "zwlr_screencopy_frame_v1") == 0) {
        const struct frame_listener* listener = (const struct frame_listener*)implementation;
        if (original != listener) {
            original = listener;
            wrapped = *listener;
            wrapped.buffer = on_buffer;
        }
        return real(proxy, (void (**)(void)) & wrapped, data);
    }
    return real(proxy, implementation, data);
}
