#include "program/ByteBlaster.h"

#include <cstdio>
#include <cstring>

#include "platform/DeviceIo.h"

namespace velmora::program {

namespace {

constexpr int kPortNumber = 1;
constexpr int kBufferEntries = 256;

struct CableState {
    platform::DeviceHandle handle = platform::kInvalidDeviceHandle;
    uint8_t buffer[kBufferEntries * 4] = {};
    int32_t entries = 0;
};

CableState& Cable() {
    static CableState state;
    return state;
}

// A failed request: reported, and the device let go.
uint32_t Failed() {
    std::fprintf(stderr, "I/O error:  Cannot access ByteBlaster hardware\n");
    CableState& cable = Cable();
    if (cable.handle != platform::kInvalidDeviceHandle) {
        platform::CloseDeviceHandle(cable.handle);
        cable.handle = platform::kInvalidDeviceHandle;
    }
    cable.entries = 0;
    return 0;
}

}  // namespace

std::string ByteBlasterDeviceName() {
    return std::string("\\\\.\\ALTLPT") + static_cast<char>('0' + kPortNumber);
}

uint32_t OpenByteBlaster() {
    CableState& cable = Cable();
    const std::string name = ByteBlasterDeviceName();
    cable.handle = platform::CreateDeviceFile(name);
    if (cable.handle == platform::kInvalidDeviceHandle) {
        std::fprintf(stderr,
                     "I/O error:  cannot open device %s\nCheck port number and device driver "
                     "installation",
                     name.c_str());
        return 0;
    }
    uint32_t version = 0;
    uint32_t returned = 0;
    const bool ok = platform::DeviceIoControl(cable.handle, kByteBlasterGetVersion, nullptr, 0,
                                              &version, sizeof(version), &returned);
    if (ok && returned != sizeof(version)) {
        std::fprintf(stderr, "I/O error:  device driver %s is not compatible.\n", name.c_str());
    } else if (ok && version != kByteBlasterDriverVersion) {
        std::fprintf(stderr,
                     "I/O error:  device driver %s is not compatible\n(Driver version is %lu, "
                     "expected version %lu.\n",
                     name.c_str(), static_cast<unsigned long>(version),
                     static_cast<unsigned long>(kByteBlasterDriverVersion));
    }
    if (ok && returned == sizeof(version) && version == kByteBlasterDriverVersion) return 1;
    platform::CloseDeviceHandle(cable.handle);
    cable.handle = platform::kInvalidDeviceHandle;
    return 0;
}

uint32_t InitByteBlaster() {
    if (!OpenByteBlaster()) return 0;
    return WriteByteBlasterPort(2, 0x0C);
}

uint32_t FlushByteBlaster() {
    CableState& cable = Cable();
    const uint32_t bytes = static_cast<uint32_t>(cable.entries) * 4;
    uint32_t returned = 0;
    if (!platform::DeviceIoControl(cable.handle, kByteBlasterWriteBuffered, cable.buffer, bytes,
                                   cable.buffer, bytes, &returned) ||
        returned != bytes) {
        return Failed();
    }
    cable.entries = 0;
    return 1;
}

uint32_t WriteByteBlasterPort(int32_t reg, int32_t value) {
    CableState& cable = Cable();
    if (reg == 0) {
        uint8_t* entry = cable.buffer + 4 * cable.entries;
        entry[0] = kByteBlasterEntryCode & 0xFF;
        entry[1] = kByteBlasterEntryCode >> 8;
        entry[2] = static_cast<uint8_t>(value);
        entry[3] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> 8);
        ++cable.entries;
        return FlushByteBlaster();
    }
    if (cable.entries > 0 && !FlushByteBlaster()) return 0;
    const uint32_t request[2] = {static_cast<uint32_t>(reg), static_cast<uint32_t>(value)};
    uint32_t returned = 0;
    if (!platform::DeviceIoControl(cable.handle, kByteBlasterWritePort, request, sizeof(request),
                                   nullptr, 0, &returned) ||
        returned != 0) {
        return Failed();
    }
    return 1;
}

uint32_t ReadByteBlasterPort(int32_t reg, uint8_t* pValue) {
    CableState& cable = Cable();
    if (cable.entries > 0 && !FlushByteBlaster()) return 0;
    const uint32_t request = static_cast<uint32_t>(reg);
    uint32_t answer = 0;
    uint32_t returned = 0;
    if (!platform::DeviceIoControl(cable.handle, kByteBlasterReadPort, &request, sizeof(request),
                                   &answer, sizeof(answer), &returned) ||
        returned != sizeof(answer)) {
        return Failed();
    }
    *pValue = static_cast<uint8_t>(answer);
    return 1;
}

void CloseByteBlaster() {
    CableState& cable = Cable();
    if (cable.handle == platform::kInvalidDeviceHandle) return;
    if (!WriteByteBlasterPort(2, 0x0E)) return;
    if (cable.entries > 0 && !FlushByteBlaster()) return;
    platform::CloseDeviceHandle(cable.handle);
    cable.handle = platform::kInvalidDeviceHandle;
}

}  // namespace velmora::program
