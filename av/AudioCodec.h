#pragma once

// A codec chip that is both an audio input and an audio output. The
// decoder part comes first, so a codec pointer is an audio-input pointer;
// the board keeps the address of the encoder part as the audio output.

#include "av/AudioDecoder.h"
#include "av/AudioEncoder.h"

namespace velmora::av {

class CAudioCodec : public CAudioDecoder, public CAudioEncoder {
  public:
    CAudioCodec() = default;
    ~CAudioCodec() override;

    virtual uint32_t InitCodec();
    virtual uint32_t CloseCodec();
    virtual uint32_t Reserved4(uint32_t value);
    virtual uint32_t MuteOn();
    virtual uint32_t MuteOff();
    virtual uint32_t Reserved7();
    virtual uint32_t Reserved8();
};

}  // namespace velmora::av
