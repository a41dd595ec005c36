#pragma once

// A named shared-memory block holding one message: a 32-byte header (magic,
// type, payload length) and the payload from byte 31 on. The recording
// mailbox serves its peer process through one.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/WaitResult.h"

namespace velmora::platform {
class NamedMutex;
class SharedMemory;
}  // namespace velmora::platform

namespace velmora::card {

// The header at byte 0 of the block, little-endian.
struct FFM_MESSAGE_HEADER {
    uint32_t dwMagic;
    uint32_t dwType;  // 0: no message
    uint32_t dwLength;
    uint8_t Reserved[20];
};
static_assert(sizeof(FFM_MESSAGE_HEADER) == 32);

class CFFMServer {
  public:
    static constexpr uint32_t kMagic = 0x1211DBFF;
    // The payload's first byte overwrites the header's last.
    static constexpr uint32_t kPayloadOffset = 31;
    static constexpr uint32_t kDefaultSize = 0x10000;
    static constexpr const char* kDefaultName = "_KWX_MAP_";

    // Error codes of the last failed operation.
    static constexpr uint32_t kErrorNoView = 0xE00002FF;
    static constexpr uint32_t kErrorNoMessage = 0xE00001FF;
    static constexpr uint32_t kErrorNoMagic = 0xE00003FF;
    static constexpr uint32_t kErrorInvalidUserBuffer = 1784;

    // Creates the block at once (see Create); null names take the defaults.
    CFFMServer(const char* fileName, const char* mappingName, uint32_t size);
    virtual ~CFFMServer();
    CFFMServer(const CFFMServer&) = delete;
    CFFMServer& operator=(const CFFMServer&) = delete;

    // Creates or opens the named block (every user may read and write it) or,
    // with a file name, maps that file, and the block's server lock. 1 or 0.
    uint32_t Create(const char* fileName, const char* mappingName, uint32_t size);
    // Opens an existing named block. The block is always mapped for reading
    // and writing, whatever the access word asks.
    uint32_t Open(uint32_t access, const char* mappingName, uint32_t size);
    void Close();
    void CloseOpened();

    void* GetView() const { return m_pView; }
    uint32_t GetSize() const { return m_dwSize; }
    uint32_t GetLastError() const { return m_dwLastError; }

    // 1, the payload length and the type when the header carries the magic
    // and a type.
    uint32_t ReadMessageHeader(uint32_t* pLength, uint32_t* pType = nullptr);
    // Copies the payload, cut to what the block holds; the type is not used.
    uint32_t ReadMessageData(uint32_t type, uint32_t length, void* pDestination);
    // Writes a header and the payload; refused when the payload would pass
    // the end of the block. Until the message is whole the block holds none
    // (type 0), and its type comes last.
    uint32_t WriteMessage(uint32_t type, uint32_t length, const void* pData);
    void InitMessageHeader(FFM_MESSAGE_HEADER* pHeader);

    // Serving: of the holders that created the block, in whichever
    // processes, one serves its requests at a time, so that a peer's requests
    // all reach one server; another takes over once that one gives its turn
    // back or ends. TakeServing waits up to timeoutMs for the turn: Signaled,
    // or Abandoned when the server before ended without giving it back, and
    // this holder serves until it calls LeaveServing; Timeout; Failed without
    // a created block or when the lock fails. Both are called by the serving
    // thread.
    platform::WaitResult TakeServing(uint32_t timeoutMs);
    void LeaveServing();
    // The block's access list is that of every named object here.
    uint32_t IsWindowsNtVersion4OrLater() { return 1; }

  private:
    uint32_t Fail(uint32_t error);
    // A block smaller than a message header has no room for a message: its
    // header would be read from and written past the block's end.
    bool HoldsHeader() const {
        return m_pView != nullptr && m_dwSize >= sizeof(FFM_MESSAGE_HEADER);
    }
    // What fits of the payload in the block.
    uint32_t PayloadRoom() const {
        return m_dwSize > kPayloadOffset ? m_dwSize - kPayloadOffset : 0;
    }
    uint32_t MapFile();
    // The block's bytes are moved through its descriptor, never the view:
    // every local user may cut the block short, and the view would then
    // fault (see platform::SharedMemory::ReadAt).
    bool ReadBlock(uint32_t offset, void* pDestination, uint32_t count) const;
    bool WriteBlock(uint32_t offset, const void* pSource, uint32_t count) const;

    int m_hFile = -1;  // the backing file, -1 for a named block
    std::unique_ptr<platform::SharedMemory> m_pMapping;
    std::unique_ptr<platform::NamedMutex> m_pServerLock;
    uint8_t* m_pView = nullptr;
    std::string m_strFileName;
    std::string m_strMappingName;
    uint32_t m_dwSize = 0;
    uint32_t m_bCreated = 0;
    uint32_t m_bOpened = 0;
    uint32_t m_dwLastError = 0;
};

}  // namespace velmora::card
