// Every test process gets a kernel-object namespace and a card state folder of
// its own, so that tests run in parallel never see each other's cards, mutexes
// or events. Child processes forked by a test inherit both.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    const std::string id = std::to_string(getpid());
    if (!getenv("VELMORA_IPC_NAMESPACE")) {
        setenv("VELMORA_IPC_NAMESPACE", ("velmora-test-" + id).c_str(), 1);
    }
    std::filesystem::path stateDir;
    if (!getenv("VELMORA_SIM_STATE_DIR")) {
        stateDir = std::filesystem::temp_directory_path() / ("velmora-test-" + id);
        std::filesystem::create_directories(stateDir);
        setenv("VELMORA_SIM_STATE_DIR", stateDir.c_str(), 1);
    }
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    if (!stateDir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(stateDir, ignored);
    }
    return result;
}
