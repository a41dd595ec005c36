#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "PlatformTestSupport.h"
#include "platform/IpcName.h"
#include "platform/SharedMemory.h"

namespace velmora::platform {
namespace {

using test::Child;
using test::Pipe;

bool ShmFileExists(std::string_view name) {
    struct stat status {};
    return stat(("/dev/shm" + MapObjectName("shm", name)).c_str(), &status) == 0;
}

bool AllZero(const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

TEST(PlatformNameTest, MapsNamesByOneRule) {
    const std::string ns = IpcNamespace();
    ASSERT_NE(getenv("VELMORA_IPC_NAMESPACE"), nullptr);
    EXPECT_EQ(ns, getenv("VELMORA_IPC_NAMESPACE"));

    EXPECT_EQ(MapObjectName("event", "Global\\Field\\0"), "/" + ns + ".event.Field_0");
    EXPECT_EQ(MapObjectName("event", "Local\\a/b"), "/" + ns + ".event.a_b");
    // Only a leading prefix is dropped, and only once.
    EXPECT_EQ(MapObjectName("mutex", "x\\Global\\y"), "/" + ns + ".mutex.x_Global_y");
    EXPECT_EQ(MapObjectName("mutex", "Global\\Global\\y"), "/" + ns + ".mutex.Global_y");
    EXPECT_NE(MapObjectName("mutex", "n"), MapObjectName("event", "n"));

    // Long names stay usable as file names, and stay apart and stable.
    const std::string longA(400, 'a');
    std::string longB = longA;
    longB.back() = 'b';
    const std::string mappedA = MapObjectName("shm", longA);
    EXPECT_LE(mappedA.size(), 256u);
    EXPECT_EQ(mappedA, MapObjectName("shm", longA));
    EXPECT_NE(mappedA, MapObjectName("shm", longB));
    EXPECT_EQ(mappedA.rfind("/" + ns + ".shm.aaa", 0), 0u);
}

TEST(PlatformSharedMemoryTest, SecondOpenerSeesFirstOnesDataAcrossProcesses) {
    int created = 0;
    auto first = SharedMemory::Open("Global\\PlatformShm.Share", 4096, [&created](void* data) {
        ++created;
        EXPECT_TRUE(AllZero(data, 4096));
    });
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->AlreadyExisted());
    EXPECT_EQ(created, 1);
    std::strcpy(static_cast<char*>(first->Data()), "from the parent");

    Child child([] {
        bool hookRan = false;
        auto second = SharedMemory::Open("Global\\PlatformShm.Share", 4096,
                                         [&hookRan](void*) { hookRan = true; });
        if (!second) return 1;
        if (!second->AlreadyExisted() || hookRan) return 2;
        if (std::strcmp(static_cast<char*>(second->Data()), "from the parent") != 0) return 3;
        std::strcpy(static_cast<char*>(second->Data()) + 100, "from the child");
        return 0;
    });
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_STREQ(static_cast<char*>(first->Data()) + 100, "from the child");
    // The child's close left it alive for the parent.
    EXPECT_TRUE(ShmFileExists("Global\\PlatformShm.Share"));
}

TEST(PlatformSharedMemoryTest, GoesAwayWhenTheLastHolderCloses) {
    auto first = SharedMemory::Open("PlatformShm.Last", 64);
    auto second = SharedMemory::Open("PlatformShm.Last", 64);
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(second->AlreadyExisted());
    static_cast<char*>(first->Data())[0] = 42;
    EXPECT_EQ(static_cast<char*>(second->Data())[0], 42);

    first.reset();
    EXPECT_TRUE(ShmFileExists("PlatformShm.Last"));
    auto third = SharedMemory::Open("PlatformShm.Last", 64);
    ASSERT_TRUE(third);
    EXPECT_TRUE(third->AlreadyExisted());
    EXPECT_EQ(static_cast<char*>(third->Data())[0], 42);

    second.reset();
    third.reset();
    EXPECT_FALSE(ShmFileExists("PlatformShm.Last"));
    auto fresh = SharedMemory::Open("PlatformShm.Last", 64);
    ASSERT_TRUE(fresh);
    EXPECT_FALSE(fresh->AlreadyExisted());
    EXPECT_TRUE(AllZero(fresh->Data(), 64));
}

TEST(PlatformSharedMemoryTest, KilledHolderDoesNotKeepItAlive) {
    Pipe ready;
    Child child([&ready] {
        auto memory = SharedMemory::Open("PlatformShm.Killed", 256);
        if (!memory) return 1;
        std::memset(memory->Data(), 0x5A, 256);
        ready.Signal();
        for (;;)
            pause();
    });
    ASSERT_TRUE(ready.Wait());
    child.Kill();
    // The crashed holder left its block behind, but nobody holds it any more.
    EXPECT_TRUE(ShmFileExists("PlatformShm.Killed"));

    auto memory = SharedMemory::Open("PlatformShm.Killed", 256);
    ASSERT_TRUE(memory);
    EXPECT_FALSE(memory->AlreadyExisted());
    EXPECT_TRUE(AllZero(memory->Data(), 256));
}

TEST(PlatformSharedMemoryTest, NobodyOpensItBeforeTheCreatorHasSetItUp) {
    Pipe go;
    Child child([&go] {
        if (!go.Wait()) return 1;
        auto memory = SharedMemory::Open("PlatformShm.Setup", 64);
        if (!memory) return 2;
        if (!memory->AlreadyExisted()) return 3;
        return static_cast<char*>(memory->Data())[0] == 'R' ? 0 : 4;
    });
    auto memory = SharedMemory::Open("PlatformShm.Setup", 64, [&go](void* data) {
        // The child tries to open the block while it is still being set up.
        go.Signal();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        static_cast<char*>(data)[0] = 'R';
    });
    ASSERT_TRUE(memory);
    EXPECT_EQ(child.Wait(), 0);
}

TEST(PlatformSharedMemoryTest, RefusesAnExistingBlockThatIsTooSmall) {
    auto small = SharedMemory::Open("PlatformShm.Small", 64);
    ASSERT_TRUE(small);
    EXPECT_FALSE(SharedMemory::Open("PlatformShm.Small", 65));
    EXPECT_TRUE(SharedMemory::Open("PlatformShm.Small", 32));
    EXPECT_FALSE(SharedMemory::Open("PlatformShm.Zero", 0));
}

TEST(PlatformSharedMemoryTest, EveryoneMayOpenItWhateverTheUmask) {
    const mode_t previous = umask(077);
    auto memory = SharedMemory::Open("PlatformShm.Access", 64);
    umask(previous);
    ASSERT_TRUE(memory);
    struct stat status {};
    ASSERT_EQ(stat(("/dev/shm" + MapObjectName("shm", "PlatformShm.Access")).c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0666u);
}

TEST(PlatformSharedMemoryTest, OpenWithoutCreateFindsOnlyLiveBlocks) {
    const std::string name = MapObjectName("shm", "PlatformShm.NoCreate");
    EXPECT_FALSE(SharedMemory::OpenPosix(name, 64, {}, false));
    EXPECT_FALSE(ShmFileExists("PlatformShm.NoCreate"));

    Pipe ready;
    Child child([&ready, &name] {
        auto memory = SharedMemory::OpenPosix(name, 64, {}, true);
        if (!memory) return 1;
        ready.Signal();
        for (;;)
            pause();
    });
    ASSERT_TRUE(ready.Wait());
    auto opened = SharedMemory::OpenPosix(name, 64, {}, false);
    EXPECT_TRUE(opened);
    opened.reset();
    child.Kill();
    // Only a dead holder's leftover is there now.
    EXPECT_FALSE(SharedMemory::OpenPosix(name, 64, {}, false));
}

}  // namespace
}  // namespace velmora::platform
