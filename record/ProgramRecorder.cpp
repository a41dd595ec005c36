#include "record/ProgramRecorder.h"

#include "card/LogFile.h"

namespace velmora::record {

// Recording tasks are not available in this build: every start is refused,
// so the engine frees the slot and reports the failure.
CProgramRecorder::CProgramRecorder(uint32_t packetLength, card::CLogFile* pLog)
    : m_dwPacketLength(packetLength), m_pLog(pLog) {}

CProgramRecorder::~CProgramRecorder() = default;

int32_t CProgramRecorder::StartTask(const RECORDER_TASK_REQUEST* pRequest, uint32_t,
                                    ts::CCirBuffer*, uint32_t) {
    if (m_pLog != nullptr)
        m_pLog->WriteLogA("recorder not available (program %u)",
                          pRequest != nullptr ? pRequest->dwProgramNumber : 0u);
    return -1;
}

int32_t CProgramRecorder::StopTask(const RECORDER_TASK_REQUEST*) {
    return 0;
}

int32_t CProgramRecorder::StopAllTasks() {
    return 0;
}

uint32_t CProgramRecorder::GetRecordLength(uint32_t, RECORD_LENGTH* pLength) {
    if (pLength == nullptr) return 0;
    *pLength = RECORD_LENGTH{};
    return 0;
}

void CProgramRecorder::GetErrorCounts(uint32_t, RECORDER_ERROR_COUNTS* pCounts) {
    if (pCounts != nullptr) *pCounts = RECORDER_ERROR_COUNTS{};
}

}  // namespace velmora::record
