#pragma once

// The generic level of the main-function family: one object per open card,
// built with the card index and the card's board support. It owns the named
// field-event registry (a table of event handles and a name-to-handle map,
// signalled once per field by a thread of its own) and the access to the
// card's frame-memory window. The card-family level (CIoCardMainFunc) adds
// the audio/video channels, this card's level (CVelmoraMainFunc) the
// transport-stream engines.
//
// Every operation returns 1 for success and 0 for failure. The frame-memory
// operations refuse every call while no window is mapped (this card maps
// none) and refuse coordinates outside the window.
//
// The handles given out are entries of the process's handle table
// (platform/HandleTable.h), so a handle closed here fails the waits in
// progress on it instead of freeing the event under them. One lock of this
// object guards the event table, the map and the thread's state: registering
// and unregistering may come from several threads at once, and exactly one
// field-event thread serves the registered events. A thread whose events are
// all gone is asked to stop and leaves after its current pass (a pass waits up
// to a second for a field); a registration meanwhile keeps it, and the last
// close of the card joins it before the table goes.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/HandleTable.h"

namespace velmora::platform {
class Thread;
}  // namespace velmora::platform

namespace velmora::card {

class CBoardSupport;

class CCardMainFunc {
  public:
    // Entries of the field-event table.
    static constexpr uint32_t kFieldEventTableSize = 256;
    // The frame-memory window seen as 32-bit pixels.
    static constexpr uint32_t kLinePixels = 720;
    static constexpr uint32_t kPageLines = 576;
    static constexpr uint32_t kNtscPageLines = 488;
    // Pages 0 to 3, then the background page.
    static constexpr uint32_t kFramePages = 4;
    static constexpr uint32_t kFrameLines = kFramePages * kPageLines;
    static constexpr uint32_t kWindowLines = kFrameLines + kPageLines;
    // The background page's pixel: YUY2 black.
    static constexpr uint32_t kBackgroundPixel = 0x00808010;
    // Pause of the field-event thread between passes.
    static constexpr uint32_t kFieldPassPauseMs = 5;

    // The board support is not owned.
    CCardMainFunc(uint32_t cardIndex, CBoardSupport* pBoardSupport);
    virtual ~CCardMainFunc();
    CCardMainFunc(const CCardMainFunc&) = delete;
    CCardMainFunc& operator=(const CCardMainFunc&) = delete;

    // --- Virtual operations, in slot order. ---

    // firstInSystem: this open initialises the card; firstInProcess: first
    // open of the card in this process. Sets up the frame-memory pointer and
    // the event table on the process's first open.
    virtual uint32_t Init(uint32_t firstInSystem, uint32_t firstInProcess);
    // Frees the event table on the process's last close.
    virtual uint32_t Exit(uint32_t lastInSystem, uint32_t lastInProcess);
    virtual uint32_t EnableNoHardwareMode();
    virtual uint32_t GetFrameMemoryPointer(void** ppFrameMemory);
    virtual uint32_t GetPixel(uint32_t x, uint32_t y, uint32_t* pValue);
    virtual uint32_t SetPixel(uint32_t x, uint32_t y, uint32_t value);
    virtual uint32_t ReadLine(uint32_t y, uint32_t* pBuffer);
    virtual uint32_t WriteLine(uint32_t y, const uint32_t* pBuffer);
    virtual uint32_t ReadLineSegment(uint32_t x, uint32_t y, uint32_t count, uint32_t* pBuffer);
    virtual uint32_t WriteLineSegment(uint32_t x, uint32_t y, uint32_t count,
                                      const uint32_t* pBuffer);
    virtual uint32_t ReadColumn(uint32_t x, uint32_t* pBuffer);
    virtual uint32_t WriteColumn(uint32_t x, const uint32_t* pBuffer);
    virtual uint32_t ReadColumnSegment(uint32_t x, uint32_t y, uint32_t count, uint32_t* pBuffer);
    virtual uint32_t WriteColumnSegment(uint32_t x, uint32_t y, uint32_t count,
                                        const uint32_t* pBuffer);
    virtual uint32_t ReadPage(uint32_t* pBuffer, uint32_t page);
    virtual uint32_t WritePage(const uint32_t* pBuffer, uint32_t page);
    virtual uint32_t ClearFrameMemory();
    virtual uint32_t ReadRectangle(uint32_t x, uint32_t y, uint32_t width, uint32_t height,
                                   uint32_t* pBuffer);
    virtual uint32_t WriteRectangle(uint32_t x, uint32_t y, uint32_t width, uint32_t height,
                                    const uint32_t* pBuffer);
    virtual uint32_t WriteRectangleIndirect(uint32_t x, uint32_t y, uint32_t width, uint32_t height,
                                            const uint32_t* pBuffer);
    virtual uint32_t PulseGlobalControlBit2();
    virtual uint32_t GetGlobalStatusBit0(uint32_t* pBit);
    virtual uint32_t ReadBackgroundPage(uint32_t* pBuffer);
    virtual uint32_t RegisterFieldEvent(const wchar_t* name, platform::Handle* pHandle);
    // A null handle unregisters every event.
    virtual uint32_t UnregisterFieldEvent(platform::Handle handle);
    // A null name unregisters every event.
    virtual uint32_t UnregisterFieldEventByName(const wchar_t* name);
    virtual uint32_t FindFieldEvent(const wchar_t* name, platform::Handle* pHandle);
    virtual uint32_t GetFieldNumber(uint32_t* pField);
    virtual uint32_t FieldEventThread();

    // --- Values the card open hands over. ---

    void SetName(const std::string& name) { m_strName = name; }
    const std::string& GetName() const { return m_strName; }
    void SetBoardNumber(uint32_t number) { m_dwBoardNumber = number; }
    uint32_t GetBoardNumber() const { return m_dwBoardNumber; }
    void SetCardType(uint32_t cardType) { m_dwCardType = cardType; }
    uint32_t GetCardType() const { return m_dwCardType; }
    void SetHostChipsetClass(uint32_t chipsetClass) { m_dwHostChipsetClass = chipsetClass; }
    uint32_t GetHostChipsetClass() const { return m_dwHostChipsetClass; }
    uint32_t GetCardIndex() const { return m_dwCardIndex; }
    uint32_t IsNoHardwareMode() const { return m_bNoHardware; }
    // True between the process's first Init and its last Exit.
    bool HasFieldEventTable() const;
    // Registered events.
    size_t FieldEventCount() const;

  protected:
    // Init's work: on the process's first open take the window, clear the
    // frame memory when `clear` is set, make the event table.
    uint32_t InitFieldEventsAndFrames(uint32_t clear, uint32_t firstInProcess);
    // Lines of a page in the standard SetVideoMode keeps: 576 PAL, 488 NTSC.
    uint32_t VisiblePageLines();
    // The window's pixel (x, y); null without a window.
    uint32_t* WindowPixel(uint32_t x, uint32_t y) const;
    // The next four run under m_FieldEventLock.
    // Sets the running flag and makes sure one thread serves the events: the
    // thread that is stopping is kept, one that has left is joined and a new
    // one started. On failure the flag is clear again.
    uint32_t StartFieldEventThread();
    // Clears the running flag and asks the thread to leave after its pass.
    void StopFieldEventThread();
    // Closes every registered event and empties the table and the map.
    void CloseAllFieldEvents();
    size_t CountFieldEvents() const;
    // Ends the registry on the process's last close or at destruction: every
    // event closed, the table gone, the thread joined (takes the lock).
    void EndFieldEvents();

    uint32_t m_bNoHardware = 0;
    CBoardSupport* m_pBoardSupport;
    void* m_pFrameMemory = nullptr;
    // Field-number reads may come from several API threads at once.
    std::atomic<uint32_t> m_dwLastFieldStatus{0};
    // Guards everything from here to the thread's flags.
    mutable std::mutex m_FieldEventLock;
    std::map<std::wstring, platform::Handle> m_FieldEventMap;
    std::vector<platform::Handle> m_FieldEventTable;
    uint32_t m_bThreadRunning = 0;
    std::unique_ptr<platform::Thread> m_pFieldEventThread;
    // Set once the field-interrupt notification is registered.
    uint32_t m_bFieldNotifyOpen = 0;
    // The thread leaves at its next pass.
    bool m_bThreadStopRequested = false;
    // The thread saw the request and returns without touching this object.
    bool m_bThreadLeaving = false;

    const uint32_t m_dwCardIndex;
    std::string m_strName;
    uint32_t m_dwBoardNumber = 0;
    uint32_t m_dwCardType = 0;
    uint32_t m_dwHostChipsetClass = 0;
};

}  // namespace velmora::card
