#include "record/ProgramRecorder.h"

#include <cstring>
#include <string>

#include "card/LogFile.h"
#include "platform/TextConv.h"

namespace velmora::record {

namespace {

constexpr uint32_t kStopWaitMs = 1000;
constexpr int32_t kStartRefused = -1;
constexpr uint32_t kSizeLimitMb = 1024;
constexpr uint32_t kNullPid = 0x1FFF;

}  // namespace

CProgramRecorder::CProgramRecorder(uint32_t packetLength, card::CLogFile* pLog)
    : m_dwPacketLength(packetLength), m_pLog(pLog) {}

CProgramRecorder::~CProgramRecorder() {
    // The engine deletes the slot rings after the recorder: no task may
    // outlive it.
    for (RECORDER_SLOT_STATE& state : m_SlotStates)
        state.stop = 1;
    for (platform::Thread& thread : m_Threads)
        thread.Join();
}

bool CProgramRecorder::RefuseStart(const RECORDER_TASK_REQUEST* pRequest, uint32_t slot,
                                   const ts::CCirBuffer* pRing) {
    const char* reason = nullptr;
    if (pRequest == nullptr)
        reason = "no request";
    else if (slot >= kTaskSlots)
        reason = "bad slot";
    else if (pRing == nullptr)
        reason = "no ring";
    else if ((pRequest->dwProgramNumber & 0xFFFF) == 0)
        reason = "program number 0";
    else if (pRequest->dwVideoPid == 0 || pRequest->dwVideoPid >= kNullPid)
        reason = "program without video";
    else if (pRequest->pszOutputPath == nullptr || pRequest->pszOutputPath[0] == L'\0')
        reason = "no output path";
    else if (platform::WideToUtf8(pRequest->pszOutputPath).size() >= kRecorderPathSize)
        reason = "output path too long";
    else if (m_Threads[slot].IsRunning() && m_SlotStates[slot].stop.load() == 0)
        reason = "slot still recording";
    if (reason == nullptr) return false;
    if (m_pLog != nullptr)
        m_pLog->WriteLogA("开始录制任务 %d 失败: %s (slot %u)",
                          pRequest != nullptr ? static_cast<int>(pRequest->dwProgramNumber) : 0,
                          reason, slot);
    return true;
}

int32_t CProgramRecorder::StartTask(const RECORDER_TASK_REQUEST* pRequest, uint32_t slot,
                                    ts::CCirBuffer* pRing, uint32_t /*reserved*/) {
    if (RefuseStart(pRequest, slot, pRing)) return kStartRefused;
    // A task told to stop (stop of all tasks) ends once its ring is empty;
    // one that ended by itself still holds its thread.
    m_Threads[slot].Join();
    m_Files[slot].reset();
    const std::string path = platform::WideToUtf8(pRequest->pszOutputPath);
    // The task makes its file only when the program's first clean PES
    // arrives; a path where no file can be made, or that another writer
    // writes, is found now, while the caller can still be told. The file is
    // kept from other writers until the task has ended.
    const char* whyNot = nullptr;
    m_Files[slot] = platform::ExclusiveFile::Create(path, &whyNot);
    if (!m_Files[slot]) {
        if (m_pLog != nullptr)
            m_pLog->WriteLogA("开始录制任务 %d 失败: %s %s (slot %u)",
                              static_cast<int>(pRequest->dwProgramNumber), path.c_str(), whyNot,
                              slot);
        return kStartRefused;
    }
    RECORDER_TASK_PARAM& param = m_TaskParams[slot];
    param = RECORDER_TASK_PARAM{};
    param.pRing = pRing;
    param.wAudioPid = static_cast<uint16_t>(pRequest->dwAudioPid);
    param.wVideoPid = static_cast<uint16_t>(pRequest->dwVideoPid);
    param.wAudioStreamType = static_cast<uint16_t>(pRequest->dwAudioStreamType);
    param.wSlot = static_cast<uint16_t>(slot);
    param.wProgramNumber = static_cast<uint16_t>(pRequest->dwProgramNumber);
    param.pLog = m_pLog;
    param.pSlotState = &m_SlotStates[slot];
    param.pFileLock = &m_csRecorder;
    param.dwPacketLength = m_dwPacketLength;
    std::memcpy(param.szPath, path.c_str(), path.size() + 1);

    RECORDER_SLOT_STATE& state = m_SlotStates[slot];
    state.stop = 0;
    state.continuityErrors = 0;
    state.syncByteErrors = 0;
    state.durationMs = 0;
    if (!m_Threads[slot].Start([&param] { return RecordTaskThreadProc(&param); })) {
        if (m_pLog != nullptr)
            m_pLog->WriteLogA("开始录制任务 %d 失败: no thread (slot %u)",
                              static_cast<int>(pRequest->dwProgramNumber), slot);
        m_Files[slot].reset();
        return kStartRefused;
    }
    m_TaskTable[slot] = TASK_ENTRY{static_cast<uint16_t>(slot), param.wProgramNumber};
    if (m_pLog != nullptr)
        m_pLog->WriteLogA("开始录制任务 %d", static_cast<int>(pRequest->dwProgramNumber));
    return 0;
}

int32_t CProgramRecorder::StopTask(const RECORDER_TASK_REQUEST* pRequest) {
    if (pRequest == nullptr) return 0;
    if (m_pLog != nullptr)
        m_pLog->WriteLogA("停止录制任务 %d", static_cast<int>(pRequest->dwProgramNumber));
    for (TASK_ENTRY& entry : m_TaskTable) {
        // Program 0 marks a free entry and is never a match.
        if (entry.wProgramNumber == 0 || entry.wProgramNumber != pRequest->dwProgramNumber)
            continue;
        RECORDER_SLOT_STATE& state = m_SlotStates[entry.wSlot];
        state.stop = 1;
        state.continuityErrors = 0;
        state.syncByteErrors = 0;
        entry.wProgramNumber = 0;
        while (m_Threads[entry.wSlot].Join(kStopWaitMs) == platform::WaitResult::Timeout) {
        }
        m_Files[entry.wSlot].reset();
        return 0;
    }
    return 0;
}

int32_t CProgramRecorder::StopAllTasks() {
    for (RECORDER_SLOT_STATE& state : m_SlotStates)
        state.stop = 1;
    return 0;
}

uint32_t CProgramRecorder::GetRecordLength(uint32_t programNumber, RECORD_LENGTH* pLength) {
    if (pLength == nullptr) return 1;
    for (const TASK_ENTRY& entry : m_TaskTable) {
        if (entry.wProgramNumber == 0 || entry.wProgramNumber != programNumber) continue;
        RecordLengthFromMs(m_SlotStates[entry.wSlot].durationMs.load(), pLength);
    }
    return 1;
}

void CProgramRecorder::GetErrorCounts(uint32_t programNumber, RECORDER_ERROR_COUNTS* pCounts) {
    if (pCounts == nullptr) return;
    for (const TASK_ENTRY& entry : m_TaskTable) {
        if (entry.wProgramNumber == 0 || entry.wProgramNumber != programNumber) continue;
        pCounts->dwContinuityErrors = m_SlotStates[entry.wSlot].continuityErrors.load();
        pCounts->dwSyncByteErrors = m_SlotStates[entry.wSlot].syncByteErrors.load();
    }
}

uint64_t CProgramRecorder::GetHandledPackets(uint32_t programNumber) {
    for (const TASK_ENTRY& entry : m_TaskTable) {
        if (entry.wProgramNumber != 0 && entry.wProgramNumber == programNumber)
            return m_SlotStates[entry.wSlot].handledPackets.load();
    }
    return 0;
}

uint32_t CProgramRecorder::RecordTaskThreadProc(RECORDER_TASK_PARAM* pParam) {
    return ConvertTsToPsTask(pParam->szPath, pParam->wProgramNumber, pParam->wVideoPid,
                             pParam->wAudioPid, pParam->wAudioStreamType, kSizeLimitMb, 0,
                             pParam->pRing, pParam->pSlotState, pParam->pLog, pParam->pFileLock,
                             pParam->dwPacketLength);
}

void RecordLengthFromMs(uint64_t ms, RECORD_LENGTH* pLength) {
    pLength->dwHours = static_cast<uint32_t>((ms / 3600000) % 24);
    pLength->dwMinutes = static_cast<uint32_t>((ms / 60000) % 60);
    pLength->dwSeconds = static_cast<uint32_t>((ms / 1000) % 60);
    pLength->dwFrames = static_cast<uint32_t>((ms % 1000) / 40);
}

bool RecorderAvailable() {
    return true;
}

}  // namespace velmora::record
