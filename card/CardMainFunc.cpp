#include "card/CardMainFunc.h"

#include "card/BoardSupport.h"
#include "platform/Event.h"
#include "platform/Thread.h"

namespace velmora::card {

CCardMainFunc::CCardMainFunc(uint32_t cardIndex, CBoardSupport* pBoardSupport)
    : m_pBoardSupport(pBoardSupport), m_dwCardIndex(cardIndex) {}

CCardMainFunc::~CCardMainFunc() = default;

uint32_t CCardMainFunc::Init(uint32_t firstInSystem, uint32_t firstInProcess) {
    if (!firstInProcess) return 1;
    m_pBoardSupport->GetRegisterBase(&m_pFrameMemory);
    if (firstInSystem && !ClearFrameMemory()) return 0;
    m_FieldEventTable.assign(kFieldEventTableSize, nullptr);
    m_dwLastFieldStatus = 0;
    return 1;
}

uint32_t CCardMainFunc::Exit(uint32_t /*lastInSystem*/, uint32_t lastInProcess) {
    if (!lastInProcess) return 1;
    m_FieldEventTable.clear();
    m_FieldEventTable.shrink_to_fit();
    m_pFrameMemory = nullptr;
    m_dwLastFieldStatus = 0;
    m_bThreadRunning = 0;
    m_pFieldEventThread.reset();
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

// The frame-memory transfers and the field-event registry are not available
// yet; they refuse every call.

uint32_t CCardMainFunc::GetPixel(uint32_t, uint32_t, uint32_t*) {
    return 0;
}

uint32_t CCardMainFunc::SetPixel(uint32_t, uint32_t, uint32_t) {
    return 0;
}

uint32_t CCardMainFunc::ReadLine(uint32_t, uint32_t*) {
    return 0;
}

uint32_t CCardMainFunc::WriteLine(uint32_t, const uint32_t*) {
    return 0;
}

uint32_t CCardMainFunc::ReadLineSegment(uint32_t, uint32_t, uint32_t, uint32_t*) {
    return 0;
}

uint32_t CCardMainFunc::WriteLineSegment(uint32_t, uint32_t, uint32_t, const uint32_t*) {
    return 0;
}

uint32_t CCardMainFunc::ReadColumn(uint32_t, uint32_t*) {
    return 0;
}

uint32_t CCardMainFunc::WriteColumn(uint32_t, const uint32_t*) {
    return 0;
}

uint32_t CCardMainFunc::ReadColumnSegment(uint32_t, uint32_t, uint32_t, uint32_t*) {
    return 0;
}

uint32_t CCardMainFunc::WriteColumnSegment(uint32_t, uint32_t, uint32_t, const uint32_t*) {
    return 0;
}

uint32_t CCardMainFunc::ReadPage(uint32_t*, uint32_t) {
    return 0;
}

uint32_t CCardMainFunc::WritePage(const uint32_t*, uint32_t) {
    return 0;
}

uint32_t CCardMainFunc::ClearFrameMemory() {
    return 0;
}

uint32_t CCardMainFunc::ReadRectangle(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t*) {
    return 0;
}

uint32_t CCardMainFunc::WriteRectangle(uint32_t, uint32_t, uint32_t, uint32_t, const uint32_t*) {
    return 0;
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

uint32_t CCardMainFunc::ReadBackgroundPage(uint32_t*) {
    return 0;
}

uint32_t CCardMainFunc::RegisterFieldEvent(const wchar_t*, platform::Event**) {
    return 0;
}

uint32_t CCardMainFunc::UnregisterFieldEvent(platform::Event*) {
    return 0;
}

uint32_t CCardMainFunc::UnregisterFieldEventByName(const wchar_t*) {
    return 0;
}

uint32_t CCardMainFunc::FindFieldEvent(const wchar_t*, platform::Event**) {
    return 0;
}

uint32_t CCardMainFunc::GetFieldNumber(uint32_t*) {
    return 0;
}

uint32_t CCardMainFunc::FieldEventThread() {
    return 0;
}

}  // namespace velmora::card
