#pragma once

// The program recorder: up to 12 recording tasks, each turning one program of
// the captured transport stream, read from its slot's byte ring, into an
// MPEG-2 program-stream file. The program engine owns it and hands it the
// slots.

#include <cstdint>
#include <memory>

#include "platform/CriticalSection.h"
#include "platform/ExclusiveFile.h"
#include "platform/Thread.h"
#include "record/RecordingTask.h"

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

// What a starting task is handed.
struct RECORDER_TASK_PARAM {
    uint16_t wProgramNumber;
    uint16_t wAudioPid;
    uint16_t wVideoPid;
    uint16_t wAudioStreamType;
    char szPath[kRecorderPathSize];  // UTF-8
    ts::CCirBuffer* pRing;
    uint16_t wSlot;
    card::CLogFile* pLog;
    // Where the task finds its slot's shared words and the file lock.
    RECORDER_SLOT_STATE* pSlotState;
    platform::CCriticalSection* pFileLock;
    uint32_t dwPacketLength;
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

    // 0 when the task started; any other value is a failure (logged): a bad
    // request, slot or ring, a slot whose task still runs, a path longer than
    // 255 bytes, a program without video, an output file that cannot be
    // created or that another writer writes, or a thread that cannot start.
    int32_t StartTask(const RECORDER_TASK_REQUEST* pRequest, uint32_t slot, ts::CCirBuffer* pRing,
                      uint32_t reserved);
    // Returns once the program's task has ended. 0.
    int32_t StopTask(const RECORDER_TASK_REQUEST* pRequest);
    // Raises every stop flag without waiting. 0.
    int32_t StopAllTasks();
    // 1, whether or not the program is recorded (then the record is kept).
    uint32_t GetRecordLength(uint32_t programNumber, RECORD_LENGTH* pLength);
    void GetErrorCounts(uint32_t programNumber, RECORDER_ERROR_COUNTS* pCounts);
    // Packets the program's task has handled since it started; 0 when the
    // program is not recorded.
    uint64_t GetHandledPackets(uint32_t programNumber);

  private:
    struct TASK_ENTRY {
        uint16_t wSlot;
        uint16_t wProgramNumber;  // 0: free
    };

    bool RefuseStart(const RECORDER_TASK_REQUEST* pRequest, uint32_t slot,
                     const ts::CCirBuffer* pRing);
    static uint32_t RecordTaskThreadProc(RECORDER_TASK_PARAM* pParam);

    platform::Thread m_Threads[kTaskSlots];
    // Each task's file, held from the start until the task has ended.
    std::unique_ptr<platform::ExclusiveFile> m_Files[kTaskSlots];
    RECORDER_TASK_PARAM m_TaskParams[kTaskSlots]{};
    TASK_ENTRY m_TaskTable[kTaskSlots]{};
    uint32_t m_dwPacketLength;
    card::CLogFile* m_pLog;
    // Each recorder has its own slot words and file lock, so recorders of
    // two engines never share a slot.
    RECORDER_SLOT_STATE m_SlotStates[kTaskSlots];
    platform::CCriticalSection m_csRecorder;
};

// Hours (mod 24), minutes, seconds and 40 ms frames of a duration.
void RecordLengthFromMs(uint64_t ms, RECORD_LENGTH* pLength);

// Stands beside the recorder; always true.
bool RecorderAvailable();

}  // namespace velmora::record
