#include "sim/SimByteBlaster.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/DeviceIo.h"

namespace velmora::sim {

namespace {

constexpr uint32_t kGetVersion = 0x166A00;
constexpr uint32_t kReadPort = 0x166A04;
constexpr uint32_t kWritePort = 0x16AA08;
constexpr uint32_t kWriteBuffered = 0x16AA1C;

struct Cable {
    std::mutex mutex;
    bool attached = false;
    bool registered = false;
    uint32_t version = 2;
    std::optional<uint32_t> failure;
    std::vector<ByteBlasterRequest> log;
    uint8_t registers[8] = {};
};

Cable& TheCable() {
    static Cable* cable = new Cable;  // never destroyed: devices may outlive main
    return *cable;
}

class CableDevice final : public platform::DeviceFile {
  public:
    bool IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                   uint32_t* returned) override {
        Cable& cable = TheCable();
        std::lock_guard lock(cable.mutex);
        const auto* bytes = static_cast<const uint8_t*>(in);
        cable.log.push_back({code, std::vector<uint8_t>(bytes, bytes + (in ? inSize : 0))});
        if (returned) *returned = 0;
        if (cable.failure && *cable.failure == code) return false;
        switch (code) {
            case kGetVersion:
                if (outSize < 4 || !out) return false;
                std::memcpy(out, &cable.version, 4);
                if (returned) *returned = 4;
                return true;
            case kReadPort: {
                if (inSize < 4 || outSize < 4 || !in || !out) return false;
                uint32_t reg = 0;
                std::memcpy(&reg, in, 4);
                const uint32_t value = reg < 8 ? cable.registers[reg] : 0xFF;
                std::memcpy(out, &value, 4);
                if (returned) *returned = 4;
                return true;
            }
            case kWritePort: {
                if (inSize < 8 || !in) return false;
                uint32_t request[2];
                std::memcpy(request, in, 8);
                if (request[0] < 8) cable.registers[request[0]] = static_cast<uint8_t>(request[1]);
                return true;
            }
            case kWriteBuffered:
                if (inSize % 4 != 0 || outSize < inSize || (inSize && (!in || !out))) return false;
                for (uint32_t i = 0; i < inSize; i += 4)
                    cable.registers[0] = bytes[i + 2];
                if (inSize) std::memmove(out, in, inSize);
                if (returned) *returned = inSize;
                return true;
            default:
                return false;
        }
    }
};

}  // namespace

void AttachByteBlasterCable(bool attached) {
    Cable& cable = TheCable();
    std::lock_guard lock(cable.mutex);
    if (attached && !cable.registered) {
        cable.registered = true;
        platform::RegisterDeviceProvider(
            [](std::string_view path) -> std::unique_ptr<platform::DeviceFile> {
                Cable& c = TheCable();
                std::lock_guard guard(c.mutex);
                if (!c.attached || path != "\\\\.\\ALTLPT1") return nullptr;
                return std::make_unique<CableDevice>();
            });
    }
    cable.attached = attached;
    if (attached) {
        cable.version = 2;
        cable.failure.reset();
        cable.log.clear();
        std::memset(cable.registers, 0, sizeof(cable.registers));
    }
}

void SetByteBlasterVersion(uint32_t version) {
    std::lock_guard lock(TheCable().mutex);
    TheCable().version = version;
}

void SetByteBlasterFailure(std::optional<uint32_t> code) {
    std::lock_guard lock(TheCable().mutex);
    TheCable().failure = code;
}

std::vector<ByteBlasterRequest> ByteBlasterRequests() {
    std::lock_guard lock(TheCable().mutex);
    return TheCable().log;
}

uint8_t ByteBlasterPortRegister(unsigned reg) {
    std::lock_guard lock(TheCable().mutex);
    return reg < 8 ? TheCable().registers[reg] : 0;
}

}  // namespace velmora::sim
