#pragma once

// The card has one transport-stream output, so one process plays at a time.
// The player holds a small named block of the card from its enable to its
// disable (or close): the block lives exactly as long as its holder keeps
// it, so a player that dies gives the output up with its life, while one
// that is stopped keeps it, as it keeps any lock it holds.

#include <cstdint>
#include <memory>
#include <string>

namespace velmora::platform {
class SharedMemory;
}

namespace velmora::card {

class CTsOutputHold {
  public:
    // The name begins with the card name and carries the card index.
    CTsOutputHold(const std::string& cardName, uint32_t cardIndex);
    ~CTsOutputHold();
    CTsOutputHold(const CTsOutputHold&) = delete;
    CTsOutputHold& operator=(const CTsOutputHold&) = delete;

    // 1 when this process holds the output, now or from before; 0 with a log
    // line when another process holds it or the block cannot be had.
    uint32_t Take();
    // Lets the output go; nothing when this process does not hold it.
    void Give();
    bool Held() const { return m_pHold != nullptr; }
    // Whether any process holds the output, this one included; true also
    // when that cannot be looked at.
    bool HeldAnywhere() const;

  private:
    std::string m_strName;
    uint32_t m_dwCardIndex;
    std::unique_ptr<platform::SharedMemory> m_pHold;
};

}  // namespace velmora::card
