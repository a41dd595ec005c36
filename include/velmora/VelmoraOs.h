// Kernel-object handles given out by the Velmora SDK (field events) and the
// few calls an application needs to use them: open, create, set, reset, wait
// and close. Events are shared between processes by name. A process that
// talks to an open card's recording mailbox also opens, maps and closes a
// named shared-memory block.
//
// An event handle is an opaque value, not a pointer. Every call refuses a
// closed or unknown event handle (0, or VELMORA_WAIT_FAILED). Closing a handle
// while another thread waits on it makes that wait return VELMORA_WAIT_FAILED.
//
// A process's end (return from main, or exit on any thread) removes the named
// events and blocks it still has, as closing their handles would, also those
// a thread still waits on; what another process holds stays. From then on the
// calls of its other threads that create or open a named object fail, also
// one that waits then for another process to let the objects' lock go.
#ifndef VELMORA_OS_H
#define VELMORA_OS_H

#include <stdint.h>
#include <wchar.h>

#include "VelmoraExport.h"

typedef void* VELMORA_HANDLE;

#define VELMORA_INFINITE 0xFFFFFFFFu
#define VELMORA_WAIT_OBJECT_0 0x00000000u
#define VELMORA_WAIT_ABANDONED 0x00000080u
#define VELMORA_WAIT_TIMEOUT 0x00000102u
#define VELMORA_WAIT_FAILED 0xFFFFFFFFu

// Creates the named event, or opens it when it exists already (then the two
// flags are ignored). A null or empty name makes an unnamed event. Returns
// null on failure.
VELMORA_EXPORT VELMORA_HANDLE VelmoraOs_CreateEvent(int manualReset, int initialState,
                                                    const wchar_t* name);
// Opens an existing named event; null when there is none of that name.
VELMORA_EXPORT VELMORA_HANDLE VelmoraOs_OpenEvent(const wchar_t* name);
VELMORA_EXPORT int VelmoraOs_SetEvent(VELMORA_HANDLE event);
VELMORA_EXPORT int VelmoraOs_ResetEvent(VELMORA_HANDLE event);
// Returns VELMORA_WAIT_OBJECT_0, VELMORA_WAIT_TIMEOUT or VELMORA_WAIT_FAILED.
// A wait is not cut short by a signal whose handler returns (an infinite wait
// stays a wait).
VELMORA_EXPORT uint32_t VelmoraOs_WaitForSingleObject(VELMORA_HANDLE event, uint32_t timeoutMs);
VELMORA_EXPORT int VelmoraOs_CloseHandle(VELMORA_HANDLE event);

// Opens an existing named shared-memory block and maps size bytes of it (a
// leading "Global\" or "Local\" of the name is dropped); null when there is
// none of that name, or when size is more than its creator made it (a log
// line says so). A block that every local user may write (the recording
// mailbox's) found cut shorter than size is grown to size, zero-filled past
// the cut, and opened; where the cut took the record of its creator's length
// with it, any size is granted so.
VELMORA_EXPORT VELMORA_HANDLE VelmoraOs_OpenSharedMemory(const wchar_t* name, uint32_t size);
// The block's memory, readable and writable, valid until the block is closed.
VELMORA_EXPORT void* VelmoraOs_MapSharedMemory(VELMORA_HANDLE block);
// Unmaps and closes the block.
VELMORA_EXPORT int VelmoraOs_CloseSharedMemory(VELMORA_HANDLE block);

#endif
