// The card's EEPROM: its factory image, its image file and what happens when
// that file is missing, short or damaged.

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "SimIicSupport.h"
#include "sim/SimEeprom.h"
#include "sim/SimIicBus.h"

namespace velmora::sim::testing {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> FileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> Factory(unsigned card) {
    uint8_t image[SimEeprom::kSize];
    SimEeprom::FactoryImage(card, image);
    return {image, image + SimEeprom::kSize};
}

uint32_t BigEndian(const uint8_t* at, int bytes) {
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | at[i];
    return value;
}

// Root reads a file whatever its mode; without that override this thread is
// only the file's owner, for whom mode 000 forbids reading.
class WithoutModeOverride {
  public:
    WithoutModeOverride() {
        syscall(SYS_capget, &m_header, m_saved);
        __user_cap_data_struct lowered[2] = {m_saved[0], m_saved[1]};
        lowered[0].effective &= ~(1u << CAP_DAC_OVERRIDE | 1u << CAP_DAC_READ_SEARCH);
        syscall(SYS_capset, &m_header, lowered);
    }
    ~WithoutModeOverride() { syscall(SYS_capset, &m_header, m_saved); }
    WithoutModeOverride(const WithoutModeOverride&) = delete;
    WithoutModeOverride& operator=(const WithoutModeOverride&) = delete;

  private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
};

class SimIicEepromTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = TestStateDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        m_config.stateDir = (m_dir / "nested" / "state").string();
        fs::create_directories(m_config.stateDir);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
    }

    // A new power-up of card `card`, as when every process had closed it.
    std::unique_ptr<SimIicState> PowerUp(unsigned card = 0) {
        auto state = std::make_unique<SimIicState>();
        SimIicBus::PowerUp(*state, m_config, card, 0x5110);
        return state;
    }
    IicMaster Master(SimIicState& state) {
        return IicMaster(
            {[this, &state](uint32_t v) { SimIicBus(state, m_config, 0).WriteRegister(v); },
             [this, &state] { return SimIicBus(state, m_config, 0).ReadRegister(); }});
    }
    fs::path File(unsigned card = 0) const { return SimEeprom::FilePath(m_config.stateDir, card); }
    std::vector<uint8_t> Bytes(const SimIicState& state) const {
        return {state.eeprom.bytes, state.eeprom.bytes + SimEeprom::kSize};
    }

    fs::path m_dir;
    SimConfig m_config;
};

TEST_F(SimIicEepromTest, FactoryImageCarriesVersionIdentityAndSettings) {
    auto state = PowerUp(3);
    const auto image = Bytes(*state);
    EXPECT_EQ(image, Factory(3));
    // Created, holding the same bytes.
    EXPECT_EQ(File(3).filename(), "card3.eeprom");
    EXPECT_EQ(FileBytes(File(3)), image);
    EXPECT_EQ(SimEeprom(state->eeprom).Path(), File(3).string());

    // Board version, little-endian, at or above the encoder-address threshold.
    EXPECT_EQ(image[124] | image[125] << 8 | image[126] << 16 | uint32_t{image[127]} << 24,
              SimEeprom::kFactoryBoardVersion);
    EXPECT_GE(SimEeprom(state->eeprom).BoardVersion(), SimEeprom::kEncoderAt56FromVersion);

    // The identity record parses to the documented serial number.
    const uint8_t* record = image.data() + 240;
    ASSERT_EQ(record[2], 1);
    EXPECT_EQ(BigEndian(record, 2), SimEeprom::kFactoryIdentityWord0);
    EXPECT_EQ(BigEndian(record + 3, 2), SimEeprom::kFactoryIdentityWord1);
    const uint32_t dword0 = BigEndian(record + 5, 4);
    const uint32_t dword1 = BigEndian(record + 9, 4);
    EXPECT_EQ((dword0 & 0xFFFF0000u) + (dword1 & 0xFFFFu), 0x56531003u);
    EXPECT_EQ(SimEeprom::FactorySerial(3), 0x56531003u);
    EXPECT_NE(Factory(0), Factory(1));

    // Factory settings where the board has them; unused bytes erased.
    EXPECT_EQ(image[56], 1);
    EXPECT_EQ(image[61], 0x32);
    EXPECT_EQ(image[64], 0x92);
    EXPECT_EQ(image[178], 0x80);
    EXPECT_EQ(image[0], 0xFF);
    EXPECT_EQ(image[100], 0xFF);
    EXPECT_EQ(image[253], 0xFF);
}

TEST_F(SimIicEepromTest, BytesWrittenThroughTheBusPersistAcrossPowerUpAndProcesses) {
    {
        auto state = PowerUp();
        IicMaster master = Master(*state);
        ASSERT_TRUE(master.Write(0xA0, 57, 0x42));
        ASSERT_TRUE(master.Write(0xA0, 255, 0x24));
        // Written through at once: a process killed now loses nothing.
        const auto file = FileBytes(File());
        ASSERT_EQ(file.size(), SimEeprom::kSize);
        EXPECT_EQ(file[57], 0x42);
        EXPECT_EQ(file[255], 0x24);
    }

    // Another process writes a byte of its own.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto state = PowerUp();
        IicMaster master = Master(*state);
        _exit(state->eeprom.bytes[57] == 0x42 && master.Write(0xA0, 58, 0x07) ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    auto state = PowerUp();
    EXPECT_EQ(state->eeprom.bytes[57], 0x42);
    EXPECT_EQ(state->eeprom.bytes[58], 0x07);
    EXPECT_EQ(state->eeprom.bytes[255], 0x24);
    EXPECT_EQ(Master(*state).Read(0xA0, 58), 0x07);
    // No temporary files left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(m_config.stateDir), fs::directory_iterator()),
              1);
}

TEST_F(SimIicEepromTest, MissingShortOrDamagedFilesGiveTheFactoryImage) {
    auto changed = Factory(0);
    changed[10] = 0x10;
    fs::create_directories(m_config.stateDir);

    // Short (a truncated image) or long: not an image of this card, so the
    // whole factory image replaces it, not a mix of the two. So it does an
    // image under a link or one that cannot be read, and the settings lost
    // are named on standard error.
    struct Row {
        size_t size;
        const char* found;
        bool link = false;
        fs::perms mode = fs::perms::owner_read | fs::perms::owner_write;
    };
    const fs::path elsewhere = m_dir / "elsewhere";
    for (const Row& row :
         {Row{0, "is not 256 bytes long"}, Row{100, "is not 256 bytes long"},
          Row{255, "is not 256 bytes long"}, Row{257, "is not 256 bytes long"},
          Row{256, "is a link", true}, Row{256, "cannot be read", false, fs::perms::none}}) {
        SCOPED_TRACE(std::to_string(row.size) + " " + row.found);
        std::vector<uint8_t> bytes = changed;
        bytes.resize(row.size, 0x10);
        fs::remove(File());
        WriteFile(row.link ? elsewhere : File(), bytes);
        if (row.link) fs::create_symlink(elsewhere, File());
        fs::permissions(File(), row.mode);
        ::testing::internal::CaptureStderr();
        std::unique_ptr<SimIicState> state;
        {
            const WithoutModeOverride owner;
            state = PowerUp();
        }
        EXPECT_NE(::testing::internal::GetCapturedStderr().find(
                      "\"" + File().string() + "\" " + row.found +
                      "; using the factory settings, which replace it"),
                  std::string::npos);
        EXPECT_EQ(Bytes(*state), Factory(0));
        EXPECT_EQ(FileBytes(File()), Factory(0));
        EXPECT_TRUE(SimEeprom(state->eeprom).Persisted());
    }

    // A whole image is taken as it is.
    WriteFile(File(), changed);
    EXPECT_EQ(Bytes(*PowerUp()), changed);

    // The file deleted while the card is up: the next byte written puts the
    // whole image back.
    auto state = PowerUp();
    fs::remove(File());
    ASSERT_TRUE(Master(*state).Write(0xA0, 11, 0x11));
    changed[11] = 0x11;
    EXPECT_EQ(FileBytes(File()), changed);
}

TEST_F(SimIicEepromTest, UnwritableFileKeepsTheEepromWorkingInMemory) {
    // A folder where the image should be: it can be neither read nor
    // replaced, which standard error says.
    fs::create_directories(File());
    ::testing::internal::CaptureStderr();
    auto state = PowerUp();
    EXPECT_NE(::testing::internal::GetCapturedStderr().find(
                  "\"" + File().string() +
                  "\" is not a file; using the factory settings, which "
                  "cannot be stored there"),
              std::string::npos);
    EXPECT_EQ(Bytes(*state), Factory(0));
    EXPECT_FALSE(SimEeprom(state->eeprom).Persisted());
    IicMaster master = Master(*state);
    ASSERT_TRUE(master.Write(0xA0, 20, 0x20));
    EXPECT_EQ(master.Read(0xA0, 20), 0x20);
    EXPECT_FALSE(SimEeprom(state->eeprom).Persisted());

    // No folder at all: the EEPROM lives in memory only.
    m_config.stateDir.clear();
    state = PowerUp();
    EXPECT_EQ(Bytes(*state), Factory(0));
    EXPECT_TRUE(SimEeprom(state->eeprom).Path().empty());
    EXPECT_FALSE(SimEeprom(state->eeprom).Persisted());
}

TEST_F(SimIicEepromTest, ErasedAndLoadedImagesReplaceTheFile) {
    auto state = PowerUp();
    SimEeprom eeprom(state->eeprom);
    eeprom.Erase();
    const std::vector<uint8_t> erased(SimEeprom::kSize, 0xFF);
    EXPECT_EQ(Bytes(*state), erased);
    EXPECT_EQ(FileBytes(File()), erased);
    EXPECT_EQ(eeprom.BoardVersion(), 0xFFFFFFFFu);
    EXPECT_EQ(Master(*state).Read(0xA0, 242), 0xFF);  // no identity record

    uint8_t image[SimEeprom::kSize];
    for (size_t i = 0; i < SimEeprom::kSize; ++i)
        image[i] = static_cast<uint8_t>(i * 7);
    eeprom.Load(image);
    EXPECT_EQ(Master(*state).Read(0xA0, 200), static_cast<uint8_t>(200 * 7));
    EXPECT_EQ(Bytes(*PowerUp()), std::vector<uint8_t>(image, image + SimEeprom::kSize));
}

// What stands under the image's name, or under the temporary name beside it,
// is replaced, never written through: a file that a link or another name
// there leads to keeps its bytes. Nor is the folder looked up again: the
// image stays in the folder it was read from, whatever now stands under that
// folder's name.
TEST_F(SimIicEepromTest, PlantedNamesLeadToNoOtherFile) {
    const fs::path victim = m_dir / "victim", checked = m_dir / "checked";
    const std::vector<uint8_t> kept(SimEeprom::kSize, 0x5A);
    enum class Planted { Temporary, Image, Folder };
    struct Row {
        const char* name;
        Planted at;
        bool symbolic;
    };
    for (const Row& row :
         {Row{"temporary link", Planted::Temporary, true},
          Row{"temporary name", Planted::Temporary, false}, Row{"image link", Planted::Image, true},
          Row{"image name", Planted::Image, false}, Row{"folder link", Planted::Folder, true}}) {
        SCOPED_TRACE(row.name);
        auto state = PowerUp();
        WriteFile(victim, kept);
        fs::path stored = File();
        if (row.at == Planted::Folder) {
            fs::rename(m_config.stateDir, checked);
            fs::create_directory_symlink(m_dir, m_config.stateDir);
            stored = checked / File().filename();
        } else {
            const fs::path planted =
                row.at == Planted::Temporary
                    ? fs::path(File().string() + ".tmp" + std::to_string(getpid()))
                    : File();
            fs::remove(planted);
            row.symbolic ? fs::create_symlink(victim, planted)
                         : fs::create_hard_link(victim, planted);
        }
        if (row.at == Planted::Temporary) {
            SimEeprom(state->eeprom).Erase();
        } else {
            EXPECT_TRUE(Master(*state).Write(0xA0, 7, 0x07));
        }
        EXPECT_EQ(FileBytes(victim), kept);
        EXPECT_EQ(fs::hard_link_count(victim), 1u);
        EXPECT_EQ(FileBytes(stored), Bytes(*state));
        EXPECT_TRUE(SimEeprom(state->eeprom).Persisted());
        if (row.at == Planted::Folder) {
            EXPECT_FALSE(fs::exists(m_dir / File().filename()));
            fs::remove(m_config.stateDir);
            fs::rename(checked, m_config.stateDir);
        }
    }
}

}  // namespace
}  // namespace velmora::sim::testing
