#include "sim/SimEeprom.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "sim/SimStateFile.h"

namespace velmora::sim {

namespace {

constexpr size_t kSize = SimEepromState::kSize;

void PutBigEndian16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

void PutBigEndian32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

const char* WhatWasFound(StateFileRead found) {
    switch (found) {
        case StateFileRead::Link:
            return "is a link";
        case StateFileRead::NotAFile:
            return "is not a file";
        case StateFileRead::Unreadable:
            return "cannot be read";
        case StateFileRead::WrongSize:
            return "is not 256 bytes long";
        default:
            return "is missing";
    }
}

}  // namespace

std::string SimEeprom::FilePath(const std::string& stateDir, unsigned cardIndex) {
    return (std::filesystem::path(stateDir) / ("card" + std::to_string(cardIndex) + ".eeprom"))
        .string();
}

void SimEeprom::FactoryImage(unsigned cardIndex, uint8_t (&image)[kSize]) {
    // Unused bytes are as the part leaves its maker: erased.
    std::memset(image, 0xFF, kSize);

    // The settings the board's own factory defaults store.
    image[56] = 1;     // PAL
    image[57] = 1;     // sync source
    image[58] = 0;     // video source of channel 0
    image[60] = 1;     // decoder fast lock on
    image[61] = 0x32;  // output chroma phase
    image[62] = 0x80;  // level of FPGA register 0x24
    image[63] = 0x82;  // level of FPGA register 0x2C
    image[64] = 0x92;  // level of FPGA register 0x30
    image[65] = 1;     // global flag
    for (size_t block : {66u, 176u, 180u, 184u})
        std::memset(image + block, 0x80, 4);  // brightness, contrast, saturation, hue

    for (int i = 0; i < 4; ++i)
        image[kBoardVersionOffset + i] = static_cast<uint8_t>(kFactoryBoardVersion >> (8 * i));

    const uint32_t serial = FactorySerial(cardIndex);
    uint8_t* record = image + kIdentityOffset;
    PutBigEndian16(record + 0, kFactoryIdentityWord0);
    record[2] = 1;  // record format
    PutBigEndian16(record + 3, kFactoryIdentityWord1);
    PutBigEndian32(record + 5, serial & 0xFFFF0000u);
    PutBigEndian32(record + 9, serial & 0x0000FFFFu);
}

void SimEeprom::PowerUp(SimEepromState& state, const std::string& stateDir, unsigned cardIndex) {
    std::memset(&state, 0, sizeof(state));
    const std::string path = stateDir.empty() ? std::string() : FilePath(stateDir, cardIndex);
    if (path.size() < sizeof(state.path)) std::memcpy(state.path, path.c_str(), path.size() + 1);

    StateFileRead found = StateFileRead::Missing;
    if (state.path[0] != '\0') {
        found = ReadStateFile(state.path, state.bytes, kSize);
        if (found == StateFileRead::Whole) return;
    }
    FactoryImage(cardIndex, state.bytes);
    state.persistFailed = StoreImage(state) ? 0 : 1;
    // The settings the file held, or those to come, are gone: the user hears
    // of it once, not only when they find them missing.
    if (state.path[0] != '\0' && (found != StateFileRead::Missing || state.persistFailed)) {
        std::fprintf(
            stderr, "velmora sim: \"%s\" %s; using the factory settings, %s\n", state.path,
            WhatWasFound(found),
            state.persistFailed
                ? "which cannot be stored there (settings last only while the card is open)"
                : "which replace it");
    }
}

void SimEeprom::Write(uint8_t address, uint8_t value) {
    m_state.bytes[address] = value;
    m_state.persistFailed = StoreByte(m_state, address) ? 0 : 1;
}

void SimEeprom::Load(const uint8_t (&image)[kSize]) {
    std::memcpy(m_state.bytes, image, kSize);
    m_state.persistFailed = StoreImage(m_state) ? 0 : 1;
}

void SimEeprom::Erase() {
    std::memset(m_state.bytes, 0xFF, kSize);
    m_state.persistFailed = StoreImage(m_state) ? 0 : 1;
}

uint32_t SimEeprom::BoardVersion() const {
    uint32_t version = 0;
    for (int i = 0; i < 4; ++i)
        version |= uint32_t{m_state.bytes[kBoardVersionOffset + i]} << (8 * i);
    return version;
}

bool SimEeprom::StoreImage(const SimEepromState& state) {
    return StoreStateFile(state.path, state.bytes, kSize);
}

bool SimEeprom::StoreByte(const SimEepromState& state, uint8_t address) {
    return StoreStateFileRange(state.path, state.bytes, kSize, address, 1);
}

}  // namespace velmora::sim
