#pragma once

// An FPGA whose IIC lines are wired to a bit-level model of one IIC slave
// with 256 byte registers, so that the bit-banged transfers meet a device
// that sees only line levels: it recognises start and stop conditions,
// samples SDA on rising SCL, acknowledges its address by pulling SDA low in
// the ninth clock, takes the first written byte as its register pointer,
// stores later bytes at pointer++ and sends reg[pointer++] while the master
// acknowledges.

#include <cstdint>
#include <vector>

#include "hw/Fpga.h"

namespace velmora::iictest {

class SlaveModelFpga : public hw::CFpga {
  public:
    explicit SlaveModelFpga(uint8_t slaveAddress = 0xA0)
        : CFpga(nullptr, nullptr), m_address(slaveAddress) {}

    // What the slave saw.
    uint8_t regs[256] = {};
    unsigned starts = 0;
    unsigned stops = 0;
    unsigned readAddressed = 0;    // times it took its read address
    std::vector<uint8_t> written;  // data bytes stored, in order
    std::vector<bool> masterAcks;  // per byte sent: the master acknowledged

    // Line steps carried out; from the step numbered `failAtStep` on (1 is
    // the first), every step fails.
    unsigned steps = 0;
    unsigned failAtStep = 0;

    uint32_t SetSdaDirection(uint32_t release) override {
        if (!Step()) return 0;
        m_masterReleased = release != 0;
        Update();
        return 1;
    }
    uint32_t SetSdaLevel(uint32_t level) override {
        if (!Step()) return 0;
        // As the FPGA does it: drive SDA first (with the level bit as it
        // stands), then change the level.
        m_masterReleased = false;
        Update();
        m_masterLevel = level != 0;
        Update();
        return 1;
    }
    uint32_t GetSdaLevel(uint32_t* pLevel) override {
        if (!Step()) return 0;
        m_masterReleased = true;
        Update();
        *pLevel = Sda() ? 1 : 0;
        return 1;
    }
    uint32_t SetSclLevel(uint32_t level) override {
        if (!Step()) return 0;
        m_scl = level != 0;
        Update();
        return 1;
    }

  private:
    enum class State { Idle, Address, WriteData, ReadData };
    enum class Phase { Receiving, SlaveAck, Sending, MasterAck, Done };

    bool Step() {
        ++steps;
        return failAtStep == 0 || steps < failAtStep;
    }
    // Open drain with a pull-up.
    bool Sda() const { return (m_masterReleased || m_masterLevel) && !m_slaveLow; }

    void Update() {
        const bool sda = Sda();
        if (m_scl && m_prevScl && sda != m_prevSda) {
            if (!sda) {
                OnStart();
            } else {
                OnStop();
            }
        } else if (m_scl && !m_prevScl) {
            OnRise(sda);
        } else if (!m_scl && m_prevScl) {
            OnFall();
        }
        m_prevScl = m_scl;
        m_prevSda = Sda();
    }

    void OnStart() {
        ++starts;
        m_state = State::Address;
        m_phase = Phase::Receiving;
        m_bits = 0;
        m_shift = 0;
        m_slaveLow = false;
    }
    void OnStop() {
        ++stops;
        m_state = State::Idle;
        m_slaveLow = false;
    }
    void OnRise(bool sda) {
        if (m_state == State::Idle) return;
        if (m_phase == Phase::Receiving) {
            m_shift = static_cast<uint8_t>((m_shift << 1) | (sda ? 1 : 0));
            ++m_bits;
        } else if (m_phase == Phase::MasterAck) {
            m_masterAcked = !sda;
            masterAcks.push_back(m_masterAcked);
        }
    }
    void OnFall() {
        if (m_state == State::Idle) return;
        switch (m_phase) {
            case Phase::Receiving:
                if (m_bits == 8) TakeByte();
                break;
            case Phase::SlaveAck:
                m_slaveLow = false;
                if (m_state == State::ReadData) {
                    SendNext();
                } else {
                    m_phase = Phase::Receiving;
                    m_bits = 0;
                    m_shift = 0;
                }
                break;
            case Phase::Sending:
                if (++m_bits == 8) {
                    m_slaveLow = false;
                    m_phase = Phase::MasterAck;
                } else {
                    m_slaveLow = ((m_sending << m_bits) & 0x80) == 0;
                }
                break;
            case Phase::MasterAck:
                if (m_masterAcked) {
                    SendNext();
                } else {
                    m_phase = Phase::Done;
                }
                break;
            case Phase::Done:
                break;
        }
    }
    void TakeByte() {
        if (m_state == State::Address) {
            if ((m_shift & 0xFE) != m_address) {
                m_state = State::Idle;  // not ours: wait for the next start
                return;
            }
            if (m_shift & 1) {
                m_state = State::ReadData;
                ++readAddressed;
            } else {
                m_state = State::WriteData;
                m_pointerNext = true;
            }
        } else if (m_pointerNext) {
            m_pointer = m_shift;
            m_pointerNext = false;
        } else {
            regs[m_pointer++] = m_shift;
            written.push_back(m_shift);
        }
        m_slaveLow = true;
        m_phase = Phase::SlaveAck;
    }
    void SendNext() {
        m_sending = regs[m_pointer++];
        m_bits = 0;
        m_slaveLow = (m_sending & 0x80) == 0;
        m_phase = Phase::Sending;
    }

    const uint8_t m_address;
    bool m_masterReleased = true;
    bool m_masterLevel = true;
    bool m_scl = true;
    bool m_slaveLow = false;
    bool m_prevScl = true;
    bool m_prevSda = true;
    State m_state = State::Idle;
    Phase m_phase = Phase::Done;
    unsigned m_bits = 0;
    uint8_t m_shift = 0;
    uint8_t m_sending = 0;
    uint8_t m_pointer = 0;
    bool m_pointerNext = false;
    bool m_masterAcked = false;
};

}  // namespace velmora::iictest
