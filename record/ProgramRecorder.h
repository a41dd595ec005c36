#pragma once

// The program recorder: up to 12 recording tasks, each turning one program of
// the captured transport stream, read from its slot's byte ring, into an
// MPEG-2 program-stream file. The program engine owns it and hands it the
// slots.

#include <cstdint>

namespace velmora::card {
class CLogFile;
}
namespace velmora::ts {
class CCirBuffer;
}

namespace velmora::record {

// The request that starts or stops one task. The engine owns it; the
// recorder copies what it needs when a task starts.
struct RECORDER_TASK_REQUEST {
    uint32_t dwProgramNumber;  // the low 16 bits are used
    uint32_t dwVideoPid;
    uint32_t dwAudioPid;  // 0: the program has no audio
    uint32_t dwAudioStreamType;
    const wchar_t* pszOutputPath;
    uint32_t dwReserved;
};

// Recording time of a task; frames count 40 ms each.
struct RECORD_LENGTH {
    uint32_t dwHours;
    uint32_t dwMinutes;
    uint32_t dwSeconds;
    uint32_t dwFrames;
};

struct RECORDER_ERROR_COUNTS {
    uint32_t dwContinuityErrors;
    uint32_t dwSyncByteErrors;
};

class CProgramRecorder {
  public:
    static constexpr uint32_t kTaskSlots = 12;

    CProgramRecorder(uint32_t packetLength, card::CLogFile* pLog);
    virtual ~CProgramRecorder();
    CProgramRecorder(const CProgramRecorder&) = delete;
    CProgramRecorder& operator=(const CProgramRecorder&) = delete;

    // 0 when the task started; any other value is a failure (logged).
    int32_t StartTask(const RECORDER_TASK_REQUEST* pRequest, uint32_t slot, ts::CCirBuffer* pRing,
                      uint32_t reserved);
    int32_t StopTask(const RECORDER_TASK_REQUEST* pRequest);
    int32_t StopAllTasks();
    uint32_t GetRecordLength(uint32_t programNumber, RECORD_LENGTH* pLength);
    void GetErrorCounts(uint32_t programNumber, RECORDER_ERROR_COUNTS* pCounts);

  private:
    uint32_t m_dwPacketLength;
    card::CLogFile* m_pLog;
};

}  // namespace velmora::record
