#include "platform/WaylandActivationToken.h"

#ifdef QUILL_HAVE_WAYLAND
#include "xdg-activation-v1-client-protocol.h"

#include <wayland-client.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>

extern "C" {
#include "xdg-activation-v1-protocol.c"
}
#endif

namespace quill::platform {

#ifdef QUILL_HAVE_WAYLAND
namespace {

using Clock = std::chrono::steady_clock;

struct Session {
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    xdg_activation_v1* activation = nullptr;
    xdg_activation_token_v1* token = nullptr;
    bool synced = false;
    bool done = false;
    std::string result;

    ~Session() {
        if (token) xdg_activation_token_v1_destroy(token);
        if (activation) xdg_activation_v1_destroy(activation);
        if (registry) wl_registry_destroy(registry);
        if (display) wl_display_disconnect(display);
    }
};

void OnGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
    auto* session = static_cast<Session*>(data);
    if (!session->activation && std::strcmp(interface, xdg_activation_v1_interface.name) == 0)
        session->activation =
            static_cast<xdg_activation_v1*>(wl_registry_bind(registry, name, &xdg_activation_v1_interface, 1));
}
void OnGlobalRemove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener kRegistryListener = {OnGlobal, OnGlobalRemove};

void OnSynced(void* data, wl_callback* callback, std::uint32_t) {
    static_cast<Session*>(data)->synced = true;
    wl_callback_destroy(callback);
}
const wl_callback_listener kSyncListener = {OnSynced};

void OnToken(void* data, xdg_activation_token_v1*, const char* token) {
    auto* session = static_cast<Session*>(data);
    session->result = token ? token : "";
    session->done = true;
}
const xdg_activation_token_v1_listener kTokenListener = {OnToken};

// Dispatches the compositor's events until flag is set; false at the deadline or when
// the connection fails. Never blocks past the deadline, also when the compositor hangs.
bool DispatchUntil(wl_display* display, const bool& flag, Clock::time_point deadline) {
    while (!flag) {
        if (wl_display_dispatch_pending(display) < 0) return false;
        if (flag) break;
        while (wl_display_prepare_read(display) != 0)
            if (wl_display_dispatch_pending(display) < 0) return false;
        if (wl_display_flush(display) < 0 && errno != EAGAIN) {
            wl_display_cancel_read(display);
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{wl_display_get_fd(display), POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
            wl_display_cancel_read(display);
            return false;
        }
        if (wl_display_read_events(display) < 0) return false;
    }
    return true;
}

} // namespace

std::string RequestActivationToken(const std::string& appId, std::chrono::milliseconds timeout) {
    // Without $WAYLAND_DISPLAY libwayland would try "wayland-0", which may be another
    // session's compositor.
    const char* name = std::getenv("WAYLAND_DISPLAY");
    if (!name || !*name) return {};
    const auto deadline = Clock::now() + timeout;
    Session session;
    session.display = wl_display_connect(nullptr);
    if (!session.display) return {};
    session.registry = wl_display_get_registry(session.display);
    wl_registry_add_listener(session.registry, &kRegistryListener, &session);
    wl_callback_add_listener(wl_display_sync(session.display), &kSyncListener, &session);
    if (!DispatchUntil(session.display, session.synced, deadline) || !session.activation) return {};

    session.token = xdg_activation_v1_get_activation_token(session.activation);
    xdg_activation_token_v1_add_listener(session.token, &kTokenListener, &session);
    xdg_activation_token_v1_set_app_id(session.token, appId.c_str());
    xdg_activation_token_v1_commit(session.token);
    if (!DispatchUntil(session.display, session.done, deadline)) return {};
    return session.result;
}
#else
std::string RequestActivationToken(const std::string&, std::chrono::milliseconds) { return {}; }
#endif

} // namespace quill::platform
