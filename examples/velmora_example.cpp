// Counts the Velmora cards of this machine and opens the first one through
// the PCI bridge.
#include <cstdio>

#include "hw/VelmoraPciBridge.h"

int main() {
    using velmora::hw::CVelmoraPciBridge;

    CVelmoraPciBridge bridge;
    uint32_t count = 0;
    bridge.GetBoardCount(&count);
    std::printf("Velmora cards found: %u\n", count);
    if (count == 0) return 1;

    if (!bridge.FindBoard(0) || !bridge.OpenBoard()) {
        std::fprintf(stderr, "card 0 could not be opened\n");
        return 1;
    }
    uint32_t version = 0;
    if (bridge.GetDriverVersion(&version)) {
        std::printf("card 0: vendor 0x%04X, device 0x%04X, driver %u.%u.%u\n",
                    bridge.GetSelectedVendorId(), bridge.GetSelectedDeviceId(),
                    (version >> 16) & 0xFF, (version >> 8) & 0xFF, version & 0xFF);
    }
    bridge.CloseBoard();
    std::printf("card 0 closed\n");
    return 0;
}
