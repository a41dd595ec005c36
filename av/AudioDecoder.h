#pragma once

// An audio input as the board-support object sees it: source selection and
// a mode value. CVelmoraAudioDecoder is the input of card models 0x5110 and
// 0x5111, whose source selection is done by the FPGA.

#include <cstdint>

namespace velmora::hw {
class CFpga;
}

namespace velmora::av {

class CAudioDecoder {
  public:
    CAudioDecoder() = default;
    CAudioDecoder(const CAudioDecoder&) = delete;
    CAudioDecoder& operator=(const CAudioDecoder&) = delete;

    virtual uint32_t SelectInput(uint32_t code);
    virtual uint32_t SetMode(uint32_t mode);

    virtual ~CAudioDecoder();

    uint32_t GetMode() const { return m_dwMode; }

  protected:
    uint32_t m_dwMode = 0;
};

class CVelmoraAudioDecoder : public CAudioDecoder {
  public:
    // The FPGA object is not owned.
    explicit CVelmoraAudioDecoder(hw::CFpga* pFpga);
    ~CVelmoraAudioDecoder() override;

    // Code 0 sets the FPGA's source-mode bit, 1 clears it, any other code
    // succeeds without effect; the FPGA's result.
    uint32_t SelectInput(uint32_t code) override;

  private:
    hw::CFpga* m_pFpga;
};

}  // namespace velmora::av
