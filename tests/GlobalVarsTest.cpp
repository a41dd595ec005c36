// The card's named register mutexes: their names, their sharing between
// holders, and creation and release.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "card/GlobalVars.h"
#include "platform/IpcName.h"
#include "platform/NamedMutex.h"

namespace velmora::card {
namespace {

using platform::WaitResult;

// Whether another thread could take the mutex right now.
bool FreeForOthers(platform::NamedMutex* mutex) {
    WaitResult result = WaitResult::Failed;
    std::thread probe([&] {
        result = mutex->Lock(0);
        if (result == WaitResult::Signaled || result == WaitResult::Abandoned) mutex->Unlock();
    });
    probe.join();
    return result == WaitResult::Signaled || result == WaitResult::Abandoned;
}

TEST(GlobalVarsTest, StartsEmptyAndKeepsItsValues) {
    CVelmoraGlobalVars globals(4);
    EXPECT_EQ(globals.GetCardIndex(), 4u);
    EXPECT_EQ(globals.GetCardType(), 0u);
    EXPECT_EQ(globals.IsNoHardware(), 0u);
    EXPECT_EQ(globals.GetFpgaMutex(), nullptr);
    EXPECT_EQ(globals.GetIicMutex0(), nullptr);
    EXPECT_EQ(globals.GetIicMutex1(), nullptr);
    EXPECT_EQ(globals.GetMcuMutex(), nullptr);
    globals.SetCardType(0x5100);
    globals.SetNoHardware(1);
    globals.SetName("QuorvelVelmora");
    EXPECT_EQ(globals.GetCardType(), 0x5100u);
    EXPECT_EQ(globals.IsNoHardware(), 1u);
    EXPECT_EQ(globals.GetName(), "QuorvelVelmora");
}

TEST(GlobalVarsTest, MutexesCarryTheCardNameAndDecimalIndex) {
    CGlobalVars globals(12);
    globals.SetName("QuorvelVelmora");
    ASSERT_EQ(globals.CreateMutexes(), 1u);
    const std::pair<const char*, platform::NamedMutex*> mutexes[] = {
        {"QuorvelVelmoraMcuMutex_12", globals.GetMcuMutex()},
        {"QuorvelVelmoraFpgaMutex_12", globals.GetFpgaMutex()},
        {"QuorvelVelmoraIicMasterMutex0_12", globals.GetIicMutex0()},
        {"QuorvelVelmoraIicMasterMutex1_12", globals.GetIicMutex1()},
    };
    for (const auto& [name, mutex] : mutexes) {
        SCOPED_TRACE(name);
        ASSERT_NE(mutex, nullptr);
        auto byName = platform::NamedMutex::Create(name);
        ASSERT_NE(byName, nullptr);
        EXPECT_TRUE(byName->AlreadyExisted());
        // Held through the globals, the mutex of that name is taken.
        ASSERT_EQ(mutex->Lock(), WaitResult::Signaled);
        EXPECT_FALSE(FreeForOthers(byName.get()));
        mutex->Unlock();
        EXPECT_TRUE(FreeForOthers(byName.get()));
    }
}

TEST(GlobalVarsTest, CardsOfOtherIndexesHaveTheirOwnMutexes) {
    CGlobalVars card0(0);
    CGlobalVars card1(1);
    CGlobalVars card0Again(0);
    for (CGlobalVars* globals : {&card0, &card1, &card0Again}) {
        globals->SetName("QuorvelVelmora");
        ASSERT_EQ(globals->CreateMutexes(), 1u);
    }
    ASSERT_EQ(card0.GetFpgaMutex()->Lock(), WaitResult::Signaled);
    EXPECT_TRUE(FreeForOthers(card1.GetFpgaMutex()));
    EXPECT_FALSE(FreeForOthers(card0Again.GetFpgaMutex()));
    EXPECT_TRUE(FreeForOthers(card0Again.GetIicMutex0()));
    card0.GetFpgaMutex()->Unlock();
}

TEST(GlobalVarsTest, ReleaseUnlocksWhatThisThreadHoldsAndDeletes) {
    CGlobalVars globals(2);
    CGlobalVars other(2);
    globals.SetName("QuorvelVelmora");
    other.SetName("QuorvelVelmora");
    ASSERT_EQ(globals.CreateMutexes(), 1u);
    ASSERT_EQ(other.CreateMutexes(), 1u);
    ASSERT_EQ(globals.GetFpgaMutex()->Lock(), WaitResult::Signaled);
    ASSERT_EQ(globals.GetIicMutex1()->Lock(), WaitResult::Signaled);
    EXPECT_EQ(globals.ReleaseMutexes(), 1u);
    EXPECT_EQ(globals.GetFpgaMutex(), nullptr);
    EXPECT_EQ(globals.GetIicMutex0(), nullptr);
    EXPECT_EQ(globals.GetIicMutex1(), nullptr);
    EXPECT_EQ(globals.GetMcuMutex(), nullptr);
    EXPECT_TRUE(FreeForOthers(other.GetFpgaMutex()));
    EXPECT_TRUE(FreeForOthers(other.GetIicMutex1()));
    // Releasing twice is harmless, and the mutexes can be made again.
    EXPECT_EQ(globals.ReleaseMutexes(), 1u);
    EXPECT_EQ(globals.CreateMutexes(), 1u);
    EXPECT_NE(globals.GetMcuMutex(), nullptr);
}

TEST(GlobalVarsTest, MutexThatCannotBeCreatedFailsAndReleasesTheOthers) {
    // A directory where the IIC 0 mutex's object would live makes its
    // creation fail after the MCU and FPGA mutexes were made.
    CGlobalVars globals(3);
    globals.SetName("QuorvelVelmora");
    const std::filesystem::path blocker =
        "/dev/shm" + platform::MapObjectName("mutex", globals.MutexName("IicMasterMutex0_%d"));
    if (!std::filesystem::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm on this system";
    ASSERT_TRUE(std::filesystem::create_directory(blocker));
    EXPECT_EQ(globals.CreateMutexes(), 0u);
    std::filesystem::remove(blocker);
    EXPECT_EQ(globals.GetMcuMutex(), nullptr);
    EXPECT_EQ(globals.GetFpgaMutex(), nullptr);
    EXPECT_EQ(globals.GetIicMutex0(), nullptr);
    EXPECT_EQ(globals.GetIicMutex1(), nullptr);
    EXPECT_EQ(globals.CreateMutexes(), 1u);
    EXPECT_NE(globals.GetIicMutex0(), nullptr);
}

}  // namespace
}  // namespace velmora::card
