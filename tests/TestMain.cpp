// Every test process gets a kernel-object namespace and a card state folder of
// its own, so that tests run in parallel never see each other's cards, mutexes
// or events, whatever the caller's environment holds: a namespace or state
// folder the caller set only prefixes the process's own. Child processes
// forked by a test inherit both, and a test process started by another test
// (its peer) keeps its parent's. The library's log goes into the state folder
// too: its file name has only the program's title and the second, so test
// processes that name theirs in one second would share a file beside the
// executable, and each would read the other's lines as its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "card/LogFile.h"

namespace {

// Set to the namespace a test process chose, so that its peers know it.
constexpr const char* kChosenNamespace = "VELMORA_TEST_CHOSEN_NAMESPACE";

// The simulated card's settings a caller may have exported; the tests set
// those they need themselves.
constexpr const char* kCardSettings[] = {"VELMORA_SIM_CARDS",        "VELMORA_SIM_BOARD_ID",
                                         "VELMORA_SIM_FPGA_VERSION", "VELMORA_SIM_VIDEO_INPUT",
                                         "VELMORA_SIM_ASI_INPUT",    "VELMORA_SIM_ASI_RATE",
                                         "VELMORA_SIM_CLOCK"};

bool StartedByATest() {
    const char* chosen = std::getenv(kChosenNamespace);
    const char* name = std::getenv("VELMORA_IPC_NAMESPACE");
    return chosen != nullptr && name != nullptr && std::string(chosen) == name;
}

// The process's own namespace and state folder (returned, to be removed at
// the end).
std::filesystem::path KeepThisProcessApart() {
    const std::string id = std::to_string(getpid());
    const char* callerName = std::getenv("VELMORA_IPC_NAMESPACE");
    const std::string name =
        (callerName != nullptr && *callerName != '\0' ? std::string(callerName) + "-" : "") +
        "velmora-test-" + id;
    setenv("VELMORA_IPC_NAMESPACE", name.c_str(), 1);
    setenv(kChosenNamespace, name.c_str(), 1);

    const char* callerDir = std::getenv("VELMORA_SIM_STATE_DIR");
    const std::filesystem::path base = callerDir != nullptr && *callerDir != '\0'
                                           ? std::filesystem::path(callerDir)
                                           : std::filesystem::temp_directory_path();
    const std::filesystem::path stateDir = base / ("velmora-test-" + id);
    // One left by a killed process that had this pid before is no one's now:
    // its cards' settings must not become this process's.
    std::error_code ignored;
    std::filesystem::remove_all(stateDir, ignored);
    std::filesystem::create_directories(stateDir);
    // The card keeps its settings only in a folder nobody else may write in,
    // whatever the umask.
    std::filesystem::permissions(stateDir, std::filesystem::perms::owner_all);
    setenv("VELMORA_SIM_STATE_DIR", stateDir.c_str(), 1);

    for (const char* setting : kCardSettings)
        unsetenv(setting);
    return stateDir;
}

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path stateDir =
        StartedByATest() ? std::filesystem::path() : KeepThisProcessApart();
    if (const char* folder = std::getenv("VELMORA_SIM_STATE_DIR"))
        velmora::card::g_LogFile.SetLogBaseDirectory(folder);
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    if (!stateDir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(stateDir, ignored);
    }
    return result;
}
