#pragma once
// A PipeWire client context whose data thread asks for real-time scheduling (through RTKit
// where the user may not set it directly); without it, a busy machine makes a stream miss
// graph cycles. Before PipeWire 1.0 the real-time module came with the client-rt.conf set-up;
// from 1.0 on the default client.conf loads it, and the old name only draws a warning.

#include <pipewire/pipewire.h>

#include <cstdlib>

namespace platform {

inline pw_context* newRealtimeContext(pw_loop* loop)
{
    const char* version = pw_get_library_version();  // "1.4.2": only the major number matters
    pw_properties* props = version && std::atoi(version) >= 1
        ? nullptr
        : pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr);
    if (pw_context* context = pw_context_new(loop, props, 0)) return context;
    return pw_context_new(loop, nullptr, 0);
}

}  // namespace platform
