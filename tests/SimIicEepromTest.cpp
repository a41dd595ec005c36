// The card's EEPROM: its factory image, its image file and what happens when
// that file is missing, short or damaged.

#include <gtest/gtest.h>
#include <sys/stat.h>
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

class SimIicEepromTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = TestStateDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        m_config.stateDir = (m_dir / "nested" / "state").string();
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
    // Created with its folders, holding the same bytes.
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
    // whole factory image replaces it, not a mix of the two.
    for (size_t size : {size_t{0}, size_t{100}, size_t{255}, size_t{257}}) {
        SCOPED_TRACE(size);
        std::vector<uint8_t> bytes = changed;
        bytes.resize(size, 0x10);
        WriteFile(File(), bytes);
        auto state = PowerUp();
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
    // A folder where the image should be: it can be neither read nor replaced.
    fs::create_directories(File());
    auto state = PowerUp();
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
// there leads to keeps its bytes.
TEST_F(SimIicEepromTest, PlantedNamesLeadToNoOtherFile) {
    const fs::path victim = m_dir / "victim";
    const std::vector<uint8_t> kept(SimEeprom::kSize, 0x5A);
    for (const bool whole : {true, false}) {
        for (const bool symbolic : {true, false}) {
            SCOPED_TRACE(std::string(whole ? "temporary " : "image ") +
                         (symbolic ? "link" : "name"));
            auto state = PowerUp();
            WriteFile(victim, kept);
            const fs::path planted =
                whole ? File().string() + ".tmp" + std::to_string(getpid()) : File().string();
            fs::remove(planted);
            symbolic ? fs::create_symlink(victim, planted) : fs::create_hard_link(victim, planted);
            if (whole) {
                SimEeprom(state->eeprom).Erase();
            } else {
                EXPECT_TRUE(Master(*state).Write(0xA0, 7, 0x07));
            }
            EXPECT_EQ(FileBytes(victim), kept);
            EXPECT_EQ(fs::hard_link_count(victim), 1u);
            EXPECT_EQ(FileBytes(File()), Bytes(*state));
            EXPECT_TRUE(SimEeprom(state->eeprom).Persisted());
        }
    }
}

}  // namespace
}  // namespace velmora::sim::testing
