#pragma once
// The one graphics device of the process that every media object works on (Windows: the D3D11
// device, its immediate context and adapter; Linux: the CPU). Made once by the Controller's worker
// through MediaFactory::makeGraphicsDevice and shared by reference, never owned, by the capture,
// converter, encoder, decoders and presenter made on it; it outlives them all.

#include <cstdint>

namespace murel {

// The adapter's locally unique identifier (Windows LUID: LowPart, HighPart). The encoder is picked
// on the adapter with this identity. Zero where there is no adapter.
struct AdapterLuid {
    std::uint32_t lowPart = 0;
    std::int32_t highPart = 0;

    bool operator==(const AdapterLuid&) const = default;
};

class GraphicsDevice {
public:
    virtual ~GraphicsDevice() = default;

    // Throws ProtocolError on failure ("Read adapter identity" on Windows).
    virtual AdapterLuid adapterLuid() const = 0;

protected:
    GraphicsDevice() = default;
    GraphicsDevice(const GraphicsDevice&) = delete;
    GraphicsDevice& operator=(const GraphicsDevice&) = delete;
};

}  // namespace murel
