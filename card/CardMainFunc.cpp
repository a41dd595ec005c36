#include "card/CardMainFunc.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "card/BoardSupport.h"
#include "platform/Event.h"
#include "platform/TextConv.h"
#include "platform/Thread.h"
#include "platform/Time.h"

namespace velmora::card {

namespace {

constexpr size_t kLineBytes = CCardMainFunc::kLinePixels * sizeof(uint32_t);

// True when [first, first + count) lies inside [0, limit), without letting
// first + count wrap.
bool InRange(uint32_t first, uint32_t count, uint32_t limit) {
    return first <= limit && count <= limit - first;
}

}  // namespace

CCardMainFunc::CCardMainFunc(uint32_t cardIndex, CBoardSupport* pBoardSupport)
    : m_pBoardSupport(pBoardSupport), m_dwCardIndex(cardIndex) {}

CCardMainFunc::~CCardMainFunc() {
    // A card whose last close did not reach Exit must not leave a thread
    // running on a destroyed object.
    EndFieldEvents();
}

uint32_t CCardMainFunc::Init(uint32_t firstInSystem, uint32_t firstInProcess) {
    return InitFieldEventsAndFrames(firstInSystem, firstInProcess);
}

uint32_t CCardMainFunc::InitFieldEventsAndFrames(uint32_t clear, uint32_t firstInProcess) {
    if (!firstInProcess) return 1;
    m_pBoardSupport->GetRegisterBase(&m_pFrameMemory);
    if (clear && !ClearFrameMemory()) return 0;
    {
        std::lock_guard<std::mutex> lock(m_FieldEventLock);
        m_FieldEventTable.assign(kFieldEventTableSize, nullptr);
    }
    m_dwLastFieldStatus = 0;
    return 1;
}

uint32_t CCardMainFunc::Exit(uint32_t /*lastInSystem*/, uint32_t lastInProcess) {
    if (!lastInProcess) return 1;
    EndFieldEvents();
    m_pFrameMemory = nullptr;
    m_dwLastFieldStatus = 0;
    return 1;
}

uint32_t CCardMainFunc::EnableNoHardwareMode() {
    m_bNoHardware = 1;
    return 1;
}

uint32_t CCardMainFunc::GetFrameMemoryPointer(void** ppFrameMemory) {
    if (!ppFrameMemory) return 0;
    *ppFrameMemory = m_pFrameMemory;
    return 1;
}

// ---------------------------------------------------------------------------
// Frame memory: the mapped window as 720-pixel lines of 32-bit pixels. Every
// operation refuses a missing window, a null buffer and coordinates that leave
// the window.

uint32_t CCardMainFunc::VisiblePageLines() {
    return m_pBoardSupport->GetVideoStandard() ? kPageLines : kNtscPageLines;
}

uint32_t* CCardMainFunc::WindowPixel(uint32_t x, uint32_t y) const {
    if (!m_pFrameMemory) return nullptr;
    return static_cast<uint32_t*>(m_pFrameMemory) + static_cast<size_t>(y) * kLinePixels + x;
}

uint32_t CCardMainFunc::GetPixel(uint32_t x, uint32_t y, uint32_t* pValue) {
    if (!pValue || x >= kLinePixels || y >= kWindowLines) return 0;
    const uint32_t* pixel = WindowPixel(x, y);
    if (!pixel) return 0;
    *pValue = *pixel;
    return 1;
}

uint32_t CCardMainFunc::SetPixel(uint32_t x, uint32_t y, uint32_t value) {
    if (x >= kLinePixels || y >= kWindowLines) return 0;
    uint32_t* pixel = WindowPixel(x, y);
    if (!pixel) return 0;
    *pixel = value;
    return 1;
}

uint32_t CCardMainFunc::ReadLine(uint32_t y, uint32_t* pBuffer) {
    return ReadLineSegment(0, y, kLinePixels, pBuffer);
}

uint32_t CCardMainFunc::WriteLine(uint32_t y, const uint32_t* pBuffer) {
    return WriteLineSegment(0, y, kLinePixels, pBuffer);
}

uint32_t CCardMainFunc::ReadLineSegment(uint32_t x, uint32_t y, uint32_t count, uint32_t* pBuffer) {
    if (!pBuffer || !InRange(x, count, kLinePixels) || y >= kWindowLines) return 0;
    const uint32_t* source = WindowPixel(x, y);
    if (!source) return 0;
    std::memcpy(pBuffer, source, count * sizeof(uint32_t));
    return 1;
}

uint32_t CCardMainFunc::WriteLineSegment(uint32_t x, uint32_t y, uint32_t count,
                                         const uint32_t* pBuffer) {
    if (!pBuffer || !InRange(x, count, kLinePixels) || y >= kWindowLines) return 0;
    uint32_t* target = WindowPixel(x, y);
    if (!target) return 0;
    std::memcpy(target, pBuffer, count * sizeof(uint32_t));
    return 1;
}

uint32_t CCardMainFunc::ReadColumn(uint32_t x, uint32_t* pBuffer) {
    return ReadColumnSegment(x, 0, VisiblePageLines(), pBuffer);
}

uint32_t CCardMainFunc::WriteColumn(uint32_t x, const uint32_t* pBuffer) {
    return WriteColumnSegment(x, 0, VisiblePageLines(), pBuffer);
}

uint32_t CCardMainFunc::ReadColumnSegment(uint32_t x, uint32_t y, uint32_t count,
                                          uint32_t* pBuffer) {
    if (!pBuffer || x >= kLinePixels || !InRange(y, count, kPageLines)) return 0;
    const uint32_t* source = WindowPixel(x, y);
    if (!source) return 0;
    for (uint32_t i = 0; i < count; ++i)
        pBuffer[i] = source[static_cast<size_t>(i) * kLinePixels];
    return 1;
}

uint32_t CCardMainFunc::WriteColumnSegment(uint32_t x, uint32_t y, uint32_t count,
                                           const uint32_t* pBuffer) {
    if (!pBuffer || x >= kLinePixels || !InRange(y, count, kPageLines)) return 0;
    uint32_t* target = WindowPixel(x, y);
    if (!target) return 0;
    for (uint32_t i = 0; i < count; ++i)
        target[static_cast<size_t>(i) * kLinePixels] = pBuffer[i];
    return 1;
}

uint32_t CCardMainFunc::ReadPage(uint32_t* pBuffer, uint32_t page) {
    if (page >= kFramePages) return 0;
    return ReadRectangle(0, page * kPageLines, kLinePixels, VisiblePageLines(), pBuffer);
}

uint32_t CCardMainFunc::WritePage(const uint32_t* pBuffer, uint32_t page) {
    if (!pBuffer || page >= kFramePages) return 0;
    uint32_t* target = WindowPixel(0, page * kPageLines);
    if (!target) return 0;
    std::memcpy(target, pBuffer, VisiblePageLines() * kLineBytes);
    return 1;
}

uint32_t CCardMainFunc::ClearFrameMemory() {
    if (!m_pFrameMemory) return 0;
    uint32_t line[kLinePixels];
    std::fill(std::begin(line), std::end(line), 0u);
    for (uint32_t y = 0; y < kFrameLines; ++y)
        std::memcpy(WindowPixel(0, y), line, kLineBytes);
    std::fill(std::begin(line), std::end(line), kBackgroundPixel);
    for (uint32_t y = kFrameLines; y < kWindowLines; ++y) {
        std::memcpy(WindowPixel(0, y), line, kLineBytes);
    }
    return 1;
}

uint32_t CCardMainFunc::ReadRectangle(uint32_t x, uint32_t y, uint32_t width, uint32_t height,
                                      uint32_t* pBuffer) {
    if (!pBuffer || !InRange(x, width, kLinePixels) || !InRange(y, height, kFrameLines)) return 0;
    const uint32_t* source = WindowPixel(x, y);
    if (!source) return 0;
    for (uint32_t row = 0; row < height; ++row) {
        std::memcpy(pBuffer + static_cast<size_t>(row) * width,
                    source + static_cast<size_t>(row) * kLinePixels, width * sizeof(uint32_t));
    }
    return 1;
}

uint32_t CCardMainFunc::WriteRectangle(uint32_t x, uint32_t y, uint32_t width, uint32_t height,
                                       const uint32_t* pBuffer) {
    if (!pBuffer || !InRange(x, width, kLinePixels) || !InRange(y, height, kPageLines)) return 0;
    uint32_t* target = WindowPixel(x, y);
    if (!target) return 0;
    for (uint32_t row = 0; row < height; ++row) {
        std::memcpy(target + static_cast<size_t>(row) * kLinePixels,
                    pBuffer + static_cast<size_t>(row) * width, width * sizeof(uint32_t));
    }
    return 1;
}

uint32_t CCardMainFunc::WriteRectangleIndirect(uint32_t x, uint32_t y, uint32_t width,
                                               uint32_t height, const uint32_t* pBuffer) {
    return WriteRectangle(x, y, width, height, pBuffer);
}

uint32_t CCardMainFunc::PulseGlobalControlBit2() {
    return m_pBoardSupport->PulseGlobalControlBit2();
}

uint32_t CCardMainFunc::GetGlobalStatusBit0(uint32_t* pBit) {
    return m_pBoardSupport->GetGlobalStatusBit0(pBit);
}

uint32_t CCardMainFunc::ReadBackgroundPage(uint32_t* pBuffer) {
    if (!pBuffer) return 0;
    const uint32_t* source = WindowPixel(0, kFrameLines);
    if (!source) return 0;
    // The background page alone follows the mode stored on the card.
    uint32_t mode = 1;
    m_pBoardSupport->GetVideoMode(&mode);
    std::memcpy(pBuffer, source, (mode ? kPageLines : kNtscPageLines) * kLineBytes);
    return 1;
}

// ---------------------------------------------------------------------------
// Named field events.

uint32_t CCardMainFunc::StartFieldEventThread() {
    m_bThreadRunning = 1;
    // The notification stays registered until the card closes; registering it
    // again for each new thread would leave the previous one behind.
    if (!m_bFieldNotifyOpen) {
        if (!m_pBoardSupport->OpenFieldInterruptNotify()) {
            m_bThreadRunning = 0;
            return 0;
        }
        m_bFieldNotifyOpen = 1;
    }
    if (m_pFieldEventThread && !m_bThreadLeaving) {
        // Still in its last pass: it serves the new events.
        m_bThreadStopRequested = false;
        return 1;
    }
    // A thread that is leaving takes no more locks, so waiting for it here
    // is short and cannot block it.
    if (m_pFieldEventThread) m_pFieldEventThread->Join(platform::kInfinite);
    m_bThreadStopRequested = false;
    m_bThreadLeaving = false;
    m_pFieldEventThread = std::make_unique<platform::Thread>();
    if (!m_pFieldEventThread->Start([this]() { return FieldEventThread(); })) {
        m_pFieldEventThread.reset();
        m_bThreadRunning = 0;
        return 0;
    }
    return 1;
}

void CCardMainFunc::StopFieldEventThread() {
    m_bThreadRunning = 0;
    m_bThreadStopRequested = true;
}

void CCardMainFunc::CloseAllFieldEvents() {
    for (platform::Handle& entry : m_FieldEventTable) {
        if (entry) platform::HandleTable::Instance().Close(entry);
        entry = nullptr;
    }
    m_FieldEventMap.clear();
}

size_t CCardMainFunc::CountFieldEvents() const {
    return static_cast<size_t>(
        std::count_if(m_FieldEventTable.begin(), m_FieldEventTable.end(),
                      [](platform::Handle entry) { return entry != nullptr; }));
}

size_t CCardMainFunc::FieldEventCount() const {
    std::lock_guard<std::mutex> lock(m_FieldEventLock);
    return CountFieldEvents();
}

bool CCardMainFunc::HasFieldEventTable() const {
    std::lock_guard<std::mutex> lock(m_FieldEventLock);
    return !m_FieldEventTable.empty();
}

void CCardMainFunc::EndFieldEvents() {
    std::unique_ptr<platform::Thread> thread;
    {
        std::lock_guard<std::mutex> lock(m_FieldEventLock);
        CloseAllFieldEvents();
        m_FieldEventTable.clear();
        m_FieldEventTable.shrink_to_fit();
        StopFieldEventThread();
        m_bFieldNotifyOpen = 0;
        thread = std::move(m_pFieldEventThread);
    }
    // Outside the lock, which the thread takes once more to see the request.
    if (thread) thread->Join(platform::kInfinite);
}

uint32_t CCardMainFunc::RegisterFieldEvent(const wchar_t* name, platform::Handle* pHandle) {
    if (!name || !pHandle) return 0;
    std::lock_guard<std::mutex> lock(m_FieldEventLock);
    if (m_FieldEventTable.empty()) return 0;
    if (!m_bThreadRunning && !StartFieldEventThread()) return 0;
    // A registration that fails leaves no thread behind for an empty table.
    const auto fail = [this]() -> uint32_t {
        if (CountFieldEvents() == 0) StopFieldEventThread();
        return 0;
    };
    std::unique_ptr<platform::Event> event =
        platform::Event::Create(false, false, platform::WideToUtf8(name));
    if (!event) return fail();
    const auto freeEntry = std::find(m_FieldEventTable.begin(), m_FieldEventTable.end(), nullptr);
    // A full table closes the event it just opened (the unique_ptr does).
    if (freeEntry == m_FieldEventTable.end()) return fail();
    const platform::Handle handle = platform::HandleTable::Instance().Insert(std::move(event));
    if (!handle) return fail();
    *freeEntry = handle;
    m_FieldEventMap.emplace(name, handle);
    *pHandle = handle;
    return 1;
}

uint32_t CCardMainFunc::UnregisterFieldEvent(platform::Handle handle) {
    std::lock_guard<std::mutex> lock(m_FieldEventLock);
    if (!m_bThreadRunning) return 0;
    if (!handle) {
        CloseAllFieldEvents();
        StopFieldEventThread();
        return 1;
    }
    bool registered = false;
    for (platform::Handle& entry : m_FieldEventTable) {
        if (entry == handle) {
            entry = nullptr;
            registered = true;
        }
    }
    const auto mapped =
        std::find_if(m_FieldEventMap.begin(), m_FieldEventMap.end(),
                     [handle](const auto& named) { return named.second == handle; });
    if (mapped != m_FieldEventMap.end()) m_FieldEventMap.erase(mapped);
    // A handle this object did not give out is not ours to close. The thread
    // sets events under the lock held here, so it is done with this one;
    // waits in progress on it fail.
    if (registered) platform::HandleTable::Instance().Close(handle);
    // The map holds a name once, with its first handle: an empty map may
    // leave the other handles of a name registered twice, which the thread
    // still sets.
    if (CountFieldEvents() == 0) StopFieldEventThread();
    return registered ? 1 : 0;
}

uint32_t CCardMainFunc::UnregisterFieldEventByName(const wchar_t* name) {
    if (!name) return UnregisterFieldEvent(nullptr);
    std::lock_guard<std::mutex> lock(m_FieldEventLock);
    if (!m_bThreadRunning) return 0;
    platform::Handle handle = nullptr;
    const auto found = m_FieldEventMap.find(name);
    if (found != m_FieldEventMap.end()) {
        handle = found->second;
        for (platform::Handle& entry : m_FieldEventTable) {
            if (entry == handle) entry = nullptr;
        }
        m_FieldEventMap.erase(found);
        platform::HandleTable::Instance().Close(handle);
    }
    // An unknown name leaves the other registrations' thread running, and so
    // does the last name while a second handle of a name is registered.
    if (CountFieldEvents() == 0) StopFieldEventThread();
    return handle ? 1 : 0;
}

uint32_t CCardMainFunc::FindFieldEvent(const wchar_t* name, platform::Handle* pHandle) {
    if (!name || !pHandle) return 0;
    std::lock_guard<std::mutex> lock(m_FieldEventLock);
    if (!m_bThreadRunning) return 0;
    const auto found = m_FieldEventMap.find(name);
    if (found == m_FieldEventMap.end() || !found->second) return 0;
    *pHandle = found->second;
    return 1;
}

uint32_t CCardMainFunc::GetFieldNumber(uint32_t* pField) {
    if (!pField) return 0;
    uint32_t status = 0;
    for (;;) {
        if (!m_pBoardSupport->ReadFieldStatus(&status)) return 0;
        if ((status & 1) != (m_dwLastFieldStatus & 1)) break;
        platform::Sleep(1);
    }
    m_dwLastFieldStatus = status;
    *pField = status;
    return 1;
}

uint32_t CCardMainFunc::FieldEventThread() {
    m_pBoardSupport->EnableFieldInterrupt();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_FieldEventLock);
            if (m_bThreadStopRequested) {
                m_bThreadLeaving = true;
                return 0;
            }
        }
        if (m_pBoardSupport->CheckFieldInterrupt()) {
            std::lock_guard<std::mutex> lock(m_FieldEventLock);
            for (platform::Handle entry : m_FieldEventTable) {
                if (!entry) continue;
                if (const auto event = platform::HandleTable::Instance().Find(entry)) event->Set();
            }
        }
        platform::Sleep(kFieldPassPauseMs);
    }
}

}  // namespace velmora::card
