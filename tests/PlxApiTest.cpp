#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "PlxTestSupport.h"
#include "WaitSupport.h"
#include "hw/PlxApi.h"
#include "sim/SimControl.h"

namespace velmora::hw::testing {
namespace {

// The sim answers through "TQDDASI", row 10 of the driver-name table.
constexpr uint8_t kSimRow = 10;

class PlxApiTest : public PlxSimTest {
  protected:
    // Opens the first card.
    void Open(PLX_DEVICE_OBJECT& device) {
        const PLX_DEVICE_KEY key = CardKey();
        ASSERT_EQ(PlxPci_DeviceOpen(&key, &device), ApiSuccess);
    }
};

TEST_F(PlxApiTest, FindCountsConfiguredCardsAndTellsWhyItFailed) {
    for (unsigned cards = 0; cards <= 2; ++cards) {
        SCOPED_TRACE(cards);
        ASSERT_TRUE(sim::SetCardCount(cards));
        for (unsigned n = 0; n < cards; ++n) {
            PLX_DEVICE_KEY key = CardKey();
            ASSERT_EQ(PlxPci_DeviceFind(&key, n), ApiSuccess);
            EXPECT_TRUE(Tagged(key.IsValidTag, kPlxTagValid));
            EXPECT_EQ(key.ApiIndex, kSimRow);
            EXPECT_EQ(key.DeviceNumber, n);
            EXPECT_EQ(key.ApiMode, kPlxAccessPci);
        }
        PLX_DEVICE_KEY key = CardKey();
        // With no card no driver opens at all; otherwise drivers answered but
        // none has device n.
        EXPECT_EQ(PlxPci_DeviceFind(&key, cards),
                  cards == 0 ? ApiNoActiveDriver : ApiInvalidDeviceInfo);
        EXPECT_FALSE(Tagged(key.IsValidTag, kPlxTagValid));
    }
    EXPECT_EQ(PlxPci_DeviceFind(nullptr, 0), ApiNullParam);
}

TEST_F(PlxApiTest, ServiceDriverIsNamedWithoutDeviceNumber) {
    ASSERT_TRUE(sim::SetDriverRow(kPlxDriverRowPlxSvc));
    PLX_DEVICE_OBJECT device{};
    Open(device);
    EXPECT_EQ(device.Key.ApiIndex, kPlxDriverRowPlxSvc);
    EXPECT_EQ(PlxPci_DeviceClose(&device), ApiSuccess);
}

TEST_F(PlxApiTest, OpenAcceptsDriver631OnlyAndCloseSignsObjectAndKey) {
    uint8_t major = 0, minor = 0, revision = 0;
    EXPECT_EQ(PlxPci_ApiVersion(&major, &minor, &revision), ApiSuccess);
    EXPECT_EQ(major * 100 + minor * 10 + revision, 631);
    EXPECT_EQ(PlxPci_ApiVersion(nullptr, &minor, &revision), ApiNullParam);

    PLX_DEVICE_OBJECT device{};
    Open(device);
    EXPECT_TRUE(Tagged(device.IsValidTag, kPlxTagValid));
    ASSERT_EQ(PlxPci_DriverVersion(&device, &major, &minor, &revision), ApiSuccess);
    EXPECT_EQ(major * 100 + minor * 10 + revision, 631);
    const PLX_DEVICE_KEY key = CardKey();
    EXPECT_EQ(PlxPci_DeviceOpen(&key, &device), ApiInvalidDeviceInfo);  // already open

    EXPECT_EQ(PlxPci_DeviceClose(&device), ApiSuccess);
    EXPECT_TRUE(Tagged(device.IsValidTag, kPlxTagInvalid));
    EXPECT_TRUE(Tagged(device.Key.IsValidTag, kPlxTagInvalid));
    EXPECT_EQ(PlxPci_DeviceClose(&device), ApiInvalidDeviceInfo);
    EXPECT_EQ(PlxPci_DeviceReset(&device), ApiInvalidDeviceInfo);

    sim::SetDriverVersion(0x60302);
    PLX_DEVICE_OBJECT wrongVersion{};
    EXPECT_EQ(PlxPci_DeviceOpen(&key, &wrongVersion), ApiInvalidDriverVersion);
    EXPECT_TRUE(Tagged(wrongVersion.IsValidTag, kPlxTagInvalid));
    EXPECT_EQ(PlxPci_DeviceReset(&wrongVersion), ApiInvalidDeviceInfo);
    // The refused open closed its driver handle: the card count can change.
    EXPECT_TRUE(sim::SetCardCount(1));
}

TEST_F(PlxApiTest, I2cModeFailsAsAMissingAdapterLibrary) {
    PLX_DEVICE_KEY key = CardKey();
    EXPECT_EQ(PlxPci_DeviceFindEx(&key, 0, kPlxModeI2c), ApiNoActiveDriver);
    EXPECT_EQ(PlxPci_DeviceFindEx(&key, 0, kPlxModeUnsupported), ApiUnsupportedFunction);
    EXPECT_EQ(PlxPci_DeviceFindEx(&key, 0, 3), ApiInvalidAccessType);
    EXPECT_EQ(PlxPci_DeviceFindEx(nullptr, 0, kPlxModePci), ApiNullParam);
    EXPECT_EQ(PlxPci_DeviceFindEx(&key, 0, kPlxModePci), ApiSuccess);

    key.ApiMode = kPlxAccessI2c;
    PLX_DEVICE_OBJECT device{};
    EXPECT_EQ(PlxPci_DeviceOpen(&key, &device), ApiNoActiveDriver);
    EXPECT_FALSE(Tagged(device.IsValidTag, kPlxTagValid));
}

TEST_F(PlxApiTest, BarMappingsAreCountedAndOnlyTheLastUnmapReachesTheDriver) {
    PLX_DEVICE_OBJECT device{};
    Open(device);
    void* first = nullptr;
    void* second = nullptr;
    ASSERT_EQ(PlxPci_PciBarMap(&device, 2, &first), ApiSuccess);
    ASSERT_EQ(PlxPci_PciBarMap(&device, 2, &second), ApiSuccess);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(device.BarMapRef[2], 2);

    void* stale = first;
    EXPECT_EQ(PlxPci_PciBarUnmap(&device, &first), ApiSuccess);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(device.BarMapRef[2], 1);
    EXPECT_NE(device.PciBarVa[2], 0u);
    EXPECT_EQ(PlxPci_PciBarUnmap(&device, &second), ApiSuccess);
    EXPECT_EQ(device.PciBarVa[2], 0u);
    EXPECT_EQ(device.BarMapRef[2], 0);

    EXPECT_EQ(PlxPci_PciBarUnmap(&device, &stale), ApiInvalidAddress);
    void* none = nullptr;
    EXPECT_EQ(PlxPci_PciBarUnmap(&device, &none), ApiInvalidAddress);
    uint32_t unknownWord = 0;
    void* unknown = &unknownWord;
    EXPECT_EQ(PlxPci_PciBarUnmap(&device, &unknown), ApiInvalidAddress);
    EXPECT_EQ(PlxPci_PciBarUnmap(&device, nullptr), ApiNullParam);

    void* address = &unknownWord;
    EXPECT_EQ(PlxPci_PciBarMap(&device, 6, &address), ApiInvalidIndex);
    EXPECT_EQ(address, nullptr);
    EXPECT_EQ(PlxPci_PciBarMap(&device, 2, nullptr), ApiNullParam);
    // A map the driver refuses leaves nothing cached.
    EXPECT_NE(PlxPci_PciBarMap(&device, 1, &address), ApiSuccess);
    EXPECT_EQ(device.PciBarVa[1], 0u);
    EXPECT_EQ(PlxPci_DeviceClose(&device), ApiSuccess);
}

TEST_F(PlxApiTest, ArgumentsAreCheckedBeforeAnythingIsSent) {
    PLX_DEVICE_OBJECT device{};
    Open(device);
    uint32_t word = 0;
    PLX_INTERRUPT interrupt{};
    PLX_NOTIFY_OBJECT notify{};
    PLX_DMA_PARAMS params{};
    params.UserVa = reinterpret_cast<uintptr_t>(&word);
    params.ByteCount = sizeof(word);

    EXPECT_EQ(PlxPci_PciBarSpaceRead(&device, 6, 0, &word, 4, kPlxBarAccess32Bit, false),
              ApiInvalidIndex);
    EXPECT_EQ(PlxPci_PciBarSpaceWrite(&device, 3, 0, nullptr, 4, kPlxBarAccess32Bit, false),
              ApiNullParam);
    EXPECT_EQ(PlxPci_PciBarSpaceRead(nullptr, 3, 0, &word, 4, kPlxBarAccess32Bit, false),
              ApiNullParam);
    EXPECT_EQ(PlxPci_DmaChannelOpen(&device, 4, nullptr), ApiDmaChannelInvalid);
    EXPECT_EQ(PlxPci_DmaControl(&device, 4, 3), ApiDmaChannelInvalid);
    EXPECT_EQ(PlxPci_DmaTransferUserBuffer(&device, 4, &params, 1000), ApiDmaChannelInvalid);
    EXPECT_EQ(PlxPci_DmaTransferUserBuffer(&device, 0, nullptr, 1000), ApiNullParam);
    EXPECT_EQ(PlxPci_InterruptEnable(&device, nullptr), ApiNullParam);
    EXPECT_EQ(PlxPci_NotificationRegisterFor(&device, nullptr, &notify), ApiNullParam);
    EXPECT_EQ(PlxPci_NotificationRegisterFor(&device, &interrupt, nullptr), ApiNullParam);
    EXPECT_EQ(PlxPci_NotificationWait(&device, &notify, 0), ApiFailed);  // not registered
    EXPECT_EQ(PlxPci_NotificationCancel(&device, &notify), ApiFailed);
    EXPECT_EQ(PlxPci_EepromReadByOffset(&device, 0, nullptr), ApiNullParam);
    EXPECT_EQ(PlxPci_PlxRegisterRead(&device, 0, nullptr), ApiNullParam);
    EXPECT_EQ(PlxPci_DriverVersion(nullptr, nullptr, nullptr, nullptr), ApiNullParam);
    EXPECT_EQ(PlxPci_DeviceOpen(nullptr, &device), ApiNullParam);
    EXPECT_EQ(PlxPci_DeviceClose(nullptr), ApiNullParam);
    EXPECT_EQ(PlxPci_DeviceClose(&device), ApiSuccess);

    // Every request on a closed object is refused before it is sent.
    EXPECT_EQ(PlxPci_PciBarSpaceRead(&device, 3, 0, &word, 4, kPlxBarAccess32Bit, false),
              ApiInvalidDeviceInfo);
    EXPECT_EQ(PlxPci_NotificationRegisterFor(&device, &interrupt, &notify), ApiInvalidDeviceInfo);
    EXPECT_EQ(notify.hEvent, 0u);
}

TEST_F(PlxApiTest, NotificationIsSignalledOnceAndResetByTheWait) {
    PLX_DEVICE_OBJECT device{};
    Open(device);
    ASSERT_EQ(PlxPci_DmaChannelOpen(&device, 0, nullptr), ApiSuccess);
    PLX_INTERRUPT interrupt{};
    interrupt.Flags = kPlxIntPciMain | kPlxIntDmaDoneBase;
    ASSERT_EQ(PlxPci_InterruptEnable(&device, &interrupt), ApiSuccess);
    PLX_NOTIFY_OBJECT notify{};
    interrupt.Flags = kPlxIntDmaDoneBase;
    ASSERT_EQ(PlxPci_NotificationRegisterFor(&device, &interrupt, &notify), ApiSuccess);
    EXPECT_TRUE(Tagged(notify.IsValidTag, kPlxTagValid));

    std::vector<uint8_t> data(4096, 0x5A);
    PLX_DMA_PARAMS params{};
    params.UserVa = reinterpret_cast<uintptr_t>(data.data());
    params.ByteCount = static_cast<uint32_t>(data.size());
    ASSERT_EQ(PlxPci_DmaTransferUserBuffer(&device, 0, &params, 1000), ApiSuccess);
    EXPECT_EQ(PlxPci_NotificationWait(&device, &notify, 1000), ApiSuccess);
    EXPECT_EQ(PlxPci_NotificationWait(&device, &notify, 50), ApiWaitTimeout);

    EXPECT_EQ(PlxPci_NotificationCancel(&device, &notify), ApiSuccess);
    EXPECT_TRUE(Tagged(notify.IsValidTag, kPlxTagInvalid));
    EXPECT_EQ(notify.hEvent, 0u);
    EXPECT_EQ(PlxPci_DeviceClose(&device), ApiSuccess);
}

TEST_F(PlxApiTest, RegisterReadByLocationReachesTheHostBridge) {
    sim::SetHostChipsetWord(0x25708086);
    PLX_STATUS status = ApiFailed;
    EXPECT_EQ(PlxPci_PciRegisterReadByLocation(0, 0, 0, 0, &status), 0x25708086u);
    EXPECT_EQ(status, ApiSuccess);

    ASSERT_TRUE(sim::SetCardCount(0));
    EXPECT_EQ(PlxPci_PciRegisterReadByLocation(0, 0, 0, 0, &status), 0xFFFFFFFFu);
    EXPECT_EQ(status, ApiNoActiveDriver);
}

using PlxApiRecordingTest = PlxRecordingTest;

TEST_F(PlxApiRecordingTest, BlockDmaLeavesNoNotificationRegisteredWhateverItsOutcome) {
    PLX_DEVICE_OBJECT device{};
    const PLX_DEVICE_KEY key = RecordingDriver::Key();
    ASSERT_EQ(PlxPci_DeviceOpen(&key, &device), ApiSuccess);
    uint32_t word = 0;
    PLX_DMA_PARAMS params{};
    params.UserVa = reinterpret_cast<uintptr_t>(&word);
    params.ByteCount = sizeof(word);

    EXPECT_EQ(PlxPci_DmaTransferUserBuffer(&device, 1, &params, 1000), ApiSuccess);
    EXPECT_EQ(driver().RegisteredCount(), 0u);

    driver().transferStatus = ApiDmaInProgress;
    EXPECT_EQ(PlxPci_DmaTransferUserBuffer(&device, 1, &params, 1000), ApiDmaInProgress);
    EXPECT_EQ(driver().RegisteredCount(), 0u);

    driver().transferStatus = ApiSuccess;
    driver().signalTransfers = false;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(PlxPci_DmaTransferUserBuffer(&device, 1, &params, 1000), ApiWaitTimeout);
    EXPECT_GE(MsSince(start), 900);
    EXPECT_LT(MsSince(start), ::velmora::test::kHangBoundMs) << "hang";
    EXPECT_EQ(driver().RegisteredCount(), 0u);

    // Without a time-out nothing is registered and the call does not wait.
    const size_t before = driver().Requests().size();
    EXPECT_EQ(PlxPci_DmaTransferUserBuffer(&device, 1, &params, 0), ApiSuccess);
    const auto requests = driver().Requests();
    ASSERT_EQ(requests.size(), before + 1);
    EXPECT_EQ(requests.back().code, PLX_IOCTL_DMA_TRANSFER_USER_VA);
    EXPECT_EQ(PlxPci_DeviceClose(&device), ApiSuccess);
}

}  // namespace
}  // namespace velmora::hw::testing
