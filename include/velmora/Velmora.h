/*
 * The Velmora SDK's application interface: the exported Quorvel_Velmora_*
 * functions, the records they take and the values they understand. Usable
 * from C and C++.
 *
 * Every function returns 1 for success and 0 for failure. A per-card function
 * takes the card index (0 to VELMORA_MAX_CARDS - 1) as its last argument and
 * works between a successful Quorvel_Velmora_OpenCard and the matching
 * Quorvel_Velmora_CloseCard of that index; it returns 0 for any other index,
 * and for a null pointer argument, without touching the card.
 *
 * Field-event handles are waited on with the calls of VelmoraOs.h.
 *
 * What a first program meets:
 * - Transport-stream reads and writes go by count: ask
 *   Quorvel_Velmora_TsCaptureGetFillBufferNum (or
 *   Quorvel_Velmora_TsPlaybackGetEmptyBufferNum) first and read (write) at
 *   most that many packets; a read of more than are waiting answers 0 and
 *   reads nothing.
 * - Every buffer must hold what the call reads or writes: a whole frame of
 *   the frame type set (VELMORA_FRAME_BYTES_YUY2 or _BGRA,
 *   VELMORA_AUDIO_FRAME_BYTES), or packet count x packet length bytes. The
 *   SDK cannot check it.
 * - The first frames read after a capture start may be older than the start
 *   (see the frame calls).
 * - A field event resets itself when a wait on it returns: the fields that
 *   passed while nobody waited make one wait return at once, not one each.
 * - Frame types belong to the process that sets them: in another process
 *   they are YUY2 until it sets its own.
 * - Quorvel_Velmora_SetVideoMode takes any value but 0 (NTSC) as PAL.
 * - Quorvel_Velmora_UdpRun and Quorvel_Velmora_UdpReceiveRun without
 *   Quorvel_Velmora_SetParameter / Quorvel_Velmora_SetReceiveParameter use
 *   the built-in multicast group 239.255.42.42, port 8008: the sender's
 *   datagrams then leave onto the network by the host's first interface
 *   that is not a loopback one, with a time-to-live of 5.
 * - A playout goes: Quorvel_Velmora_TsSetAsiPacketLength when the length
 *   changes, Quorvel_Velmora_TsPlaybackSetBitRate (its range is that length's),
 *   Quorvel_Velmora_TsPlaybackEnable, Quorvel_Velmora_UdpRun when the stream
 *   goes over IP too, then the writes. A packet written before the enable is
 *   taken (answer 1) and then dropped by the enable, which empties both rings.
 * - A process whose playback enable answered 0 (another process plays)
 *   still gets 1 from its writes: they fill its own ring, which never plays.
 * - A disable or a close can take up to the call's deadline (below) while a
 *   stopped process holds a lock of the card; so can
 *   Quorvel_Velmora_TsSetAsiPacketLength to a length other than the card's,
 *   and Quorvel_Velmora_RestoreDefault on a card of 204-byte packets, while
 *   another process is stopped inside its open or close (a set to the
 *   length the card has answers at once).
 * - Some calls wait for the card's chips and EEPROM, as a real card needs:
 *   Quorvel_Velmora_OpenCard about 2.4 s on a card with its factory
 *   settings, which keep an input's signal as the sync source (about 1.5 s
 *   with the internal sync kept, as after Quorvel_Velmora_RestoreDefault),
 *   Quorvel_Velmora_GetTotalCardNumber 50 to 90 ms while this process has no
 *   card open (the simulated driver's own work, which VELMORA_SLEEP_SCALE
 *   does not shorten), each settings call (sources, video mode, sync,
 *   picture controls; setting or reading) about 20 ms,
 *   Quorvel_Velmora_SetSyncSource to an input's signal 0.5 to 1 s,
 *   Quorvel_Velmora_GetSerialNumber about 0.26 s,
 *   Quorvel_Velmora_GetBoardVersion about 0.08 s and
 *   Quorvel_Velmora_RestoreDefault about 0.6 s. VELMORA_SLEEP_SCALE=0 in
 *   the environment removes these pauses on the simulated card.
 *
 * Threads: the calls of one card may come from several threads at once. The
 * transport-stream calls (Quorvel_Velmora_Ts*, the TS-over-IP calls and the
 * whole-stream file), the video and audio capture start and stop, frame
 * types, buffer status and flush calls and Quorvel_Velmora_GetCardTimeStamp
 * take one lock per card and run one after another, so a call that waits
 * (a capture or playback disable) holds up the others of that group. The
 * frame reads and writes take only the lock of their own frame ring, and
 * Quorvel_Velmora_WaitForFieldInterrupt none, so neither waits behind a
 * transport-stream call. The settings, versions and test calls go to the card
 * under its register and IIC bus locks, which are shared by every process
 * that has the card open. The waits of one call for locks that other
 * processes hold (those of the card and of its named objects) share one
 * deadline, about ten seconds from the call's start; a wait that reaches it
 * gives up and fails its step. The open, close and count of cards then
 * answer 0; an open that answers 0 leaves nothing open, and
 * Quorvel_Velmora_CloseCard still closes what is this process's own. So a
 * process stopped while it holds such a lock (by a debugger or a signal)
 * costs a call that deadline, not more: the card's own threads wait for the
 * lock for as long as it is held, losing nothing the holder did not hold up,
 * but give up as soon as they are to stop, so that a disable, a close and a
 * process's end with cards open finish within the deadline plus the end of
 * those threads. A call that meets Quorvel_Velmora_OpenCard or
 * Quorvel_Velmora_CloseCard of its index on another thread either completes
 * before the close goes on or answers 0; an open or close of an index waits
 * for one under way on another thread.
 *
 * A process forked from one that has a card open inherits the index but not
 * the card: its threads, engines and devices are the parent's. Every call on
 * that index in the child answers 0 at once and leaves the parent's card
 * alone, except Quorvel_Velmora_CloseCard, which answers 1 and sets the copy
 * aside without closing anything; the child may then open the card itself,
 * whatever the parent's other threads were doing at the fork.
 *
 * A process may end with cards open, by returning from main or calling exit
 * on any thread (or by unloading the library): its end first closes each of
 * them as Quorvel_Velmora_CloseCard would, waiting for calls, opens and
 * closes under way on other threads, so that the exit status is the
 * process's own and its recordings and whole-stream files are complete up to
 * that moment; Quorvel_Velmora_OpenCard answers 0 from then on. Signals
 * wait while a thread is inside a call and run their handlers (which may
 * call exit) when it returns; the library's own threads run no handlers.
 *
 * A process ended by a signal (Ctrl-C, SIGTERM, SIGKILL, a crash) runs none
 * of that: its recordings lack their program end code, a whole-stream file
 * may end in a part packet, and its named objects (mutexes, events, shared
 * blocks) stay until the next process that opens the card clears them. The
 * SDK installs no signal handler of its own: a program that wants whole
 * files when it is interrupted handles SIGINT and SIGTERM itself and calls
 * exit, or Quorvel_Velmora_CloseCard, from there.
 */
#ifndef VELMORA_H
#define VELMORA_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#include "VelmoraExport.h"
#include "VelmoraOs.h"

#ifdef __cplusplus
#define VELMORA_STATIC_ASSERT(condition, message) static_assert(condition, message)
#else
#define VELMORA_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#endif

/* ---- Cards ---------------------------------------------------------------- */

#define VELMORA_MAX_CARDS 8u
#define VELMORA_SDK_VERSION 0x00040000u

/* Board models (Quorvel_Velmora_GetCardTypeNumber). */
#define VELMORA_BOARD_5100 0x5100u /* TVP5147 decoder, SAA7128 encoder, UDA1345TS codec */
#define VELMORA_BOARD_5110 0x5110u /* two ADV7180 decoders, ADV7343 encoder */

/* ---- Video and audio ------------------------------------------------------ */

/* Video standard (Quorvel_Velmora_SetVideoMode / GetVideoMode). */
#define VELMORA_VIDEO_MODE_NTSC 0u
#define VELMORA_VIDEO_MODE_PAL 1u

/* Sync source. Any other value selects the internal sync; a source without a
 * locked signal falls back to it. VELMORA_SYNC_SOURCE_20 (the second decoder)
 * is refused by boards without one. */
#define VELMORA_SYNC_SOURCE_0 0x00u
#define VELMORA_SYNC_SOURCE_1 0x01u
#define VELMORA_SYNC_SOURCE_2 0x02u
#define VELMORA_SYNC_SOURCE_5 0x05u
#define VELMORA_SYNC_SOURCE_20 0x20u
#define VELMORA_SYNC_SOURCE_INTERNAL 0x80u

/* Video source of the capture channel; any other value selects source 0. */
#define VELMORA_VIDEO_SOURCE_0 0u
#define VELMORA_VIDEO_SOURCE_1 1u
#define VELMORA_VIDEO_SOURCE_2 2u
#define VELMORA_VIDEO_SOURCE_5 5u

/* Audio source of the capture channel; any other value selects source 1.
 * VELMORA_AUDIO_SOURCE_3 names an input that neither board model has: it is
 * refused (0) and the source stays as it was. */
#define VELMORA_AUDIO_SOURCE_1 1u
#define VELMORA_AUDIO_SOURCE_2 2u
#define VELMORA_AUDIO_SOURCE_3 3u

/* Relays: the video relay functions take channel 0x0A or 0x0B, the audio
 * relay functions channel 0 or 1, and the mode VELMORA_RELAY_ON or _OFF (any
 * other is refused). Every open switches all four relays on and the last
 * process to close the card switches them off; the mode is not kept in the
 * EEPROM. The getters answer the mode this process last set (on, after its
 * open), not a reading of the card. */
#define VELMORA_VIDEO_RELAY_0 0x0Au
#define VELMORA_VIDEO_RELAY_1 0x0Bu
#define VELMORA_AUDIO_RELAY_0 0u
#define VELMORA_AUDIO_RELAY_1 1u
#define VELMORA_RELAY_OFF 0u
#define VELMORA_RELAY_ON 1u

/* Frame type of the video capture and playback buffers; any other value is
 * YUY2. A video frame is 720 x 576 pixels: YUY2 (bytes Y0 U Y1 V) in 1,440-byte
 * rows, 829,440 bytes; BGRA in 2,880-byte rows, 1,658,880 bytes. */
#define VELMORA_FRAME_YUY2 0u
#define VELMORA_FRAME_BGRA 1u
#define VELMORA_FRAME_BGRA_BOTTOM_UP 2u
#define VELMORA_FRAME_BYTES_YUY2 829440u
#define VELMORA_FRAME_BYTES_BGRA 1658880u

/* An audio frame: 1,920 stereo pairs at 48 kHz (40 ms: the card's audio runs
 * at 25 frames a second in NTSC as in PAL), each pair one 32-bit word, left
 * sample (signed 16-bit) in the low half: 7,680 bytes. */
#define VELMORA_AUDIO_FRAME_SAMPLES 1920u
#define VELMORA_AUDIO_FRAME_BYTES 7680u

/* Frame buffer status (Quorvel_Velmora_Get...BufferStatus), the card's ring of
 * 8 frames of that direction: EMPTY when a capture ring holds no frame to
 * read (a read answers 0) or a playback ring has nothing queued; FULL when a
 * capture ring holds 8 unread frames (the card drops new ones until one is
 * read) or a playback ring has 8 queued (a write answers 0); NEITHER
 * otherwise. */
#define VELMORA_BUFFER_NEITHER 0u
#define VELMORA_BUFFER_EMPTY 1u
#define VELMORA_BUFFER_FULL 2u

/* ---- Transport streams ---------------------------------------------------- */

/* ASI packet length flag. Every packet count of the transport-stream calls is
 * counted in packets of the card's length (188 or 204 bytes). The card has one
 * length for every process that has it open, taken by each when it opens the
 * card; the first to open it starts it at 188 bytes. It changes only while one
 * process alone has the card open, by that process's
 * Quorvel_Velmora_TsSetAsiPacketLength or Quorvel_Velmora_RestoreDefault:
 * while another process has the card open, a set to the other length answers
 * 0, with a line in the log file, and RestoreDefault leaves the length as it
 * is. */
#define VELMORA_ASI_PACKET_188 0u
#define VELMORA_ASI_PACKET_204 1u

/* ASI output mode (Quorvel_Velmora_TsSetAsiOutputMode): the card's output-mode
 * bit, 0 after Quorvel_Velmora_RestoreDefault and after the first process
 * opens the card; any other value is refused. Quorvel_Velmora_TsGetAsiOutputMode
 * reads the bit back from the card. */
#define VELMORA_ASI_OUTPUT_MODE_0 0u
#define VELMORA_ASI_OUTPUT_MODE_1 1u

/* Quorvel_Velmora_TsGetAsiStatus: bits 0 to 3 are the input status, which
 * holds the value 5 (the four bits 0101, not bit 5) while a valid ASI signal
 * is received (program information needs it). On FPGA
 * versions below 0x50103 the word is the card's whole status register and bit
 * 7 is set while queued output entries are still being played. */
#define VELMORA_ASI_STATUS_INPUT_MASK 0x0Fu
#define VELMORA_ASI_STATUS_INPUT_VALID 0x05u
#define VELMORA_ASI_STATUS_OUTPUT_BUSY 0x80u

/* Transport-stream input (Quorvel_Velmora_TsSetInputSource). */
#define VELMORA_TS_INPUT_ASI 0u
#define VELMORA_TS_INPUT_IP 1u

/* Work mode of the capture (Quorvel_Velmora_TsCaptureSetWorkMode), 0 when the
 * card is opened:
 * 0  captured packets go straight to the application's packet ring;
 * 1  they go through the program engine: PSI analysis (program information),
 *    program filter, NIT replacement, recorders and the whole-stream file,
 *    then to the application's packet ring;
 * 2  the straight path stops and the program engine is left as it is: after
 *    mode 1 it goes on, after mode 0 no packet reaches the application. */
#define VELMORA_TS_WORK_MODE_DIRECT 0u
#define VELMORA_TS_WORK_MODE_ENGINE 1u
#define VELMORA_TS_WORK_MODE_ENGINE_ONLY 2u

/* Quorvel_Velmora_TsCaptureGetProgramInformation answers 1 with one of two
 * states: FILLED (the record holds the analysed PAT, PMTs, SDT and CAT) or
 * NO_SIGNAL (no valid ASI input: the record is all zero). FILLED does not wait
 * for the SDT for ever: once the PAT and every PMT are analysed and 2 s have
 * passed without an SDT, the record is filled without it (original network id
 * 65535, program numbers from the PAT, names "NO Service" and "NO Provider");
 * a later read, once the SDT is analysed, brings the services' names. It
 * answers 0, and writes neither the record nor the state, for the program
 * engine's other states: NOT_RUNNING (not in work mode 1 with capture
 * enabled), NO_PROGRAMS (no PAT with a program analysed yet) and
 * TOO_MANY_PROGRAMS (the PAT lists more than VELMORA_TS_MAX_PROGRAMS). */
#define VELMORA_PROGRAM_INFO_NOT_RUNNING 0u
#define VELMORA_PROGRAM_INFO_NO_PROGRAMS 1u
#define VELMORA_PROGRAM_INFO_FILLED 2u
#define VELMORA_PROGRAM_INFO_NO_SIGNAL 3u
#define VELMORA_PROGRAM_INFO_TOO_MANY_PROGRAMS 255u

/* The packet counts reported by Quorvel_Velmora_TsCaptureGetFillBufferNum and
 * Quorvel_Velmora_TsPlaybackGetEmptyBufferNum never exceed this. The rings
 * behind them have VELMORA_TS_RING_PACKETS places each, one of which always
 * stays empty: they hold at most 25,919 packets (what the capture ring holds in
 * work mode 1 is told with the capture calls). */
#define VELMORA_TS_MAX_REPORTED_PACKETS 3240u
#define VELMORA_TS_RING_PACKETS 25920u

/* Accepted range of Quorvel_Velmora_TsPlaybackSetBitRate, in bits a second,
 * for 188- and 204-byte packets (the card sends at most 216,000,000 bits a
 * second of packets and idle bytes). */
#define VELMORA_TS_MIN_BIT_RATE_188 3306u
#define VELMORA_TS_MAX_BIT_RATE_188 213726315u
#define VELMORA_TS_MIN_BIT_RATE_204 3307u
#define VELMORA_TS_MAX_BIT_RATE_204 213902912u

/* Playback does not start sending until this many packets are queued (a
 * little over half a ring), so that the card is never starved at the start. */
#define VELMORA_TS_PLAYBACK_START_PACKETS 12961u

#define VELMORA_TS_MAX_PROGRAMS 60
#define VELMORA_TS_MAX_CA_ENTRIES 21
#define VELMORA_TS_PROGRAM_MAX_CA 4
#define VELMORA_TS_PROGRAM_MAX_STREAMS 32

/* The fixed-layout records below are little-endian and hold no pointer; their
 * sizes are those the card's other software exchanges. UTF-16 text is held
 * in uint16_t units. */

typedef struct VELMORA_CA_ENTRY {
    uint16_t wCaSystemId;
    uint16_t wCaPid;
} VELMORA_CA_ENTRY;

typedef struct TS_STREAM_ENTRY {
    uint8_t byStreamType;
    uint8_t byReserved0;
    uint16_t wElementaryPid;
    uint8_t byZero;
    uint8_t byReserved1;
} TS_STREAM_ENTRY;

typedef struct TS_PROGRAM_ENTRY {
    uint16_t wPmtPid;
    uint16_t wReserved0;
    uint32_t dwScrambled; /* 1 when the program's video or audio looks scrambled */
    uint8_t byCaCount;
    uint8_t byReserved1;
    VELMORA_CA_ENTRY Ca[VELMORA_TS_PROGRAM_MAX_CA];
    uint8_t byStreamCount;
    uint8_t byReserved2;
    TS_STREAM_ENTRY Stream[VELMORA_TS_PROGRAM_MAX_STREAMS];
    uint32_t dwProgramNumber;
    uint16_t szServiceName[16];  /* UTF-16, zero-terminated */
    uint16_t szProviderName[16]; /* UTF-16, zero-terminated */
} TS_PROGRAM_ENTRY;

typedef struct TS_PROGRAM_INFORMATION {
    uint8_t byCaCount;
    uint8_t byReserved0;
    VELMORA_CA_ENTRY Ca[VELMORA_TS_MAX_CA_ENTRIES];
    uint16_t wReserved1;
    /* Transport rates in bits a second, measured by the program engine from
     * the PCRs on the PCR PID named by the PMT of the PAT's first program
     * (the first whose program number is not 0), 0 until measured.
     * R-high is the highest rate measured so far (held twice); R-mark the
     * latest measured rate between R-high rounded down to a multiple of
     * 100,000 and R-high; the last field is R-high less the null-packet
     * correction taken when the analysis restarted on a stream change (8
     * times the packet length when that packet was a null packet, else 0). */
    double dRateMark;
    double dRateHighFirst;
    double dRateHighSecond;
    double dRateHighSecondLessNull;
    uint32_t dwTransportStreamId;
    uint32_t dwOriginalNetworkId; /* 65535 when no SDT was analysed */
    uint32_t dwProgramCount;
    TS_PROGRAM_ENTRY Program[VELMORA_TS_MAX_PROGRAMS];
    uint32_t dwReserved2;
} TS_PROGRAM_INFORMATION;

VELMORA_STATIC_ASSERT(sizeof(TS_STREAM_ENTRY) == 6, "TS_STREAM_ENTRY layout");
VELMORA_STATIC_ASSERT(sizeof(TS_PROGRAM_ENTRY) == 288, "TS_PROGRAM_ENTRY layout");
VELMORA_STATIC_ASSERT(offsetof(TS_PROGRAM_ENTRY, byStreamCount) == 26, "TS_PROGRAM_ENTRY layout");
VELMORA_STATIC_ASSERT(offsetof(TS_PROGRAM_ENTRY, dwProgramNumber) == 220,
                      "TS_PROGRAM_ENTRY layout");
VELMORA_STATIC_ASSERT(offsetof(TS_PROGRAM_ENTRY, szServiceName) == 224, "TS_PROGRAM_ENTRY layout");
VELMORA_STATIC_ASSERT(offsetof(TS_PROGRAM_ENTRY, szProviderName) == 256, "TS_PROGRAM_ENTRY layout");
VELMORA_STATIC_ASSERT(sizeof(TS_PROGRAM_INFORMATION) == 17416, "TS_PROGRAM_INFORMATION layout");
VELMORA_STATIC_ASSERT(offsetof(TS_PROGRAM_INFORMATION, dRateMark) == 88,
                      "TS_PROGRAM_INFORMATION layout");
VELMORA_STATIC_ASSERT(offsetof(TS_PROGRAM_INFORMATION, dwTransportStreamId) == 120,
                      "TS_PROGRAM_INFORMATION layout");
VELMORA_STATIC_ASSERT(offsetof(TS_PROGRAM_INFORMATION, Program) == 132,
                      "TS_PROGRAM_INFORMATION layout");
VELMORA_STATIC_ASSERT(offsetof(TS_PROGRAM_INFORMATION, dwReserved2) == 17412,
                      "TS_PROGRAM_INFORMATION layout");

/* Programs and streams to take out of the captured stream: a uint16_t entry
 * count followed by that many entries of three uint16_t values (elementary
 * PID to drop, PMT PID of a program to remove, reserved). The list is kept by
 * pointer and must stay valid while the filter is on. */
typedef uint16_t FILTERED_PROGRAM;

typedef struct FILTERED_PROGRAM_ENTRY {
    uint16_t wElementaryPid;
    uint16_t wPmtPid;
    uint16_t wReserved;
} FILTERED_PROGRAM_ENTRY;

VELMORA_STATIC_ASSERT(sizeof(FILTERED_PROGRAM_ENTRY) == 6, "FILTERED_PROGRAM_ENTRY layout");

#define VELMORA_NIT_MAX_STREAMS 128
#define VELMORA_NIT_MAX_SERVICES 60

typedef struct NIT_SERVICE {
    uint32_t dwServiceId;
    uint16_t wServiceType;
    uint8_t byReserved[266];
} NIT_SERVICE;

typedef struct NIT_TRANSPORT_STREAM {
    uint16_t wTransportStreamId;
    uint16_t wOriginalNetworkId;
    uint32_t dwFrequencyKhz;
    uint32_t dwSymbolRateKsps;
    uint32_t dwModulation;
    uint16_t wFecOuter;
    uint16_t wFecInner;
    uint32_t dwServiceCount;
    uint32_t dwReserved;
    NIT_SERVICE Service[VELMORA_NIT_MAX_SERVICES];
} NIT_TRANSPORT_STREAM;

typedef struct NIT_INFORMATION {
    uint16_t wNetworkId;
    uint8_t byVersion;
    uint8_t byTransportStreamCount;
    uint8_t byNetworkName[128];
    NIT_TRANSPORT_STREAM TransportStream[VELMORA_NIT_MAX_STREAMS];
} NIT_INFORMATION;

VELMORA_STATIC_ASSERT(sizeof(NIT_SERVICE) == 272, "NIT_SERVICE layout");
VELMORA_STATIC_ASSERT(sizeof(NIT_TRANSPORT_STREAM) == 16348, "NIT_TRANSPORT_STREAM layout");
VELMORA_STATIC_ASSERT(sizeof(NIT_INFORMATION) == 2092676, "NIT_INFORMATION layout");

/* Recording time of one program, counted from the frame rate of its video
 * pictures: hours (modulo 24), minutes, seconds and, of the second begun,
 * frames of 40 ms (25 a second, whatever the video's own frame rate). A
 * picture counts once its start is taken, so the length read just before a
 * disable can exceed the pictures in the file: the file starts at the first
 * sequence or group-of-pictures header and leaves out the pictures before it
 * (up to a group of pictures), and the picture still in hand at the disable is
 * written only when its PES packet's length field shows it whole. */
typedef struct RECORD_LENGTH {
    uint32_t dwHours;
    uint32_t dwMinutes;
    uint32_t dwSeconds;
    uint32_t dwFrames;
} RECORD_LENGTH;

VELMORA_STATIC_ASSERT(sizeof(RECORD_LENGTH) == 16, "RECORD_LENGTH layout");

/* Register access to the card's chips and FPGA (Quorvel_Velmora_Test); the
 * block is filled in place. dwCommand:
 * 0x00-0x02  write the low byte of dwValue to register dwRegister (low byte) of
 *            video decoder 0-2, read it back into dwResult;
 * 0x80-0x82  read that decoder register into dwResult;
 * 0x10-0x12  and 0x90-0x92: the same for video encoders 0-2;
 * 0xF0       dwRegister 0 clears bit 4 of the port control register, any
 *            other value sets it;
 * 0xF1       write dwValue to the FPGA register at byte offset dwRegister (a
 *            multiple of 4 below 0x1000) and read it back into dwResult;
 * 0xF2       read that FPGA register into dwResult.
 * Any other command, a chip the board model lacks, a size below 16 bytes or
 * an FPGA offset out of range answers 0. */
typedef struct TEST_REQUEST {
    uint32_t dwCommand;
    uint32_t dwRegister;
    uint32_t dwValue;
    uint32_t dwResult;
} TEST_REQUEST;

VELMORA_STATIC_ASSERT(sizeof(TEST_REQUEST) == 16, "TEST_REQUEST layout");

/* Transport stream over IP, passed by value. Its first word was a 32-bit
 * address on the card's first platform; here it is a pointer, so the record
 * is 8 bytes longer than six 32-bit words. */
typedef struct TS_OVER_IP_PARAM {
    const wchar_t* pszAddress; /* dotted IPv4 or a host name: destination, or the group received */
    uint32_t dwPort;           /* UDP port */
    uint32_t dwReserved;
    uint32_t dwPacketLength; /* 188 or 204; a datagram carries 7 packets */
    uint32_t dwRtp;          /* non-zero: datagrams carry an RTP header */
    uint32_t dwFlag;
} TS_OVER_IP_PARAM;

/* ---- Exported functions --------------------------------------------------- */

/* Cards */
/* Counts the cards present (the simulated driver presents up to 16); only
 * card indexes 0 to 7 can be opened. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetTotalCardNumber(uint32_t* pCount);
/* Refused (0) for an index that is already open in this process, and for an
 * index inherited from the parent process until it is closed. Several
 * processes may open the same card. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_OpenCard(uint32_t cardIndex);
/* Also releases an index whose open failed, and sets aside an index inherited
 * from the parent process without touching the parent's card. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_CloseCard(uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetCardTypeNumber(uint32_t* pType, uint32_t cardIndex);
/* Puts the card's settings back to their defaults, for every process that
 * has the card open, and keeps them in its EEPROM: internal sync, PAL, video
 * source 0, audio source 1, picture controls 128. It also sets the card's
 * output mode to 0 and its ASI packet length to 188 bytes (see the ASI packet
 * length flag for when that length changes). Relays, frame types and running
 * transport-stream engines are left as they are. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_RestoreDefault(uint32_t cardIndex);

/* Field interrupts and time. A process holds at most 256 field events of a
 * card: another answers 0 until one of them is closed. Registering one name
 * twice gives two handles of one event, which is then set twice a field: a
 * waiter on it wakes about twice a field. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_InitialFieldEvent(const wchar_t* pszEventName,
                                                          VELMORA_HANDLE* phEvent,
                                                          uint32_t cardIndex);
/* A null handle closes every field event of the card. Always 1 on an open
 * card. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_CloseFieldEvent(VELMORA_HANDLE hEvent, uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_WaitForFieldInterrupt(uint32_t cardIndex);
/* *pField is the parity of the field the card is in, 0 or 1, read at once
 * (no wait); it alternates every field and is not a count of fields. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetFieldNumber(uint32_t* pField, uint32_t cardIndex);
/* Card time in 100-ns units, the unit of every frame time stamp. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetCardTimeStamp(uint64_t* pTimeStamp, uint32_t cardIndex);

/* Video and audio frames. Capture start and stop act on the card, for every
 * process that has it open. A frame read never waits: it answers 0 at once on
 * an empty ring (wait with Quorvel_Velmora_WaitForFieldInterrupt or a field
 * event). Frame time stamps are in 100-ns units of the card's clock. The card
 * keeps capturing into its 8-frame ring from Quorvel_Velmora_OpenCard on, so
 * the first frames read after Quorvel_Velmora_VideoCaptureStart may be older
 * than the start: compare their stamps with Quorvel_Velmora_GetCardTimeStamp.
 * The card has one ring a direction for every process: two processes reading
 * video (audio) frames of one card take them from the same ring, so each
 * frame goes to one of them. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_VideoCaptureStart(uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_VideoCaptureStop(uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_SetVideoCaptureFrameType(uint32_t frameType,
                                                                 uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_SetVideoPlaybackFrameType(uint32_t frameType,
                                                                  uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetVideoCaptureBufferStatus(uint32_t* pStatus,
                                                                    uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetVideoPlaybackBufferStatus(uint32_t* pStatus,
                                                                     uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_ReadOneVideoFrame(uint64_t* pTimeStamp, void* pFrame,
                                                          uint32_t cardIndex);
/* The card plays a written frame at its time stamp: at the first frame
 * boundary at or after it (the next one, when it has passed). Frames are
 * played in the order written, so one stamped ahead holds back those written
 * after it; with 8 frames queued a write answers 0 (ring full) and may be
 * made again. A frame stamped no later than the last one this process wrote
 * answers 1 and is dropped, also after a flush (so is a first frame stamped
 * 0). */
VELMORA_EXPORT uint32_t Quorvel_Velmora_WriteOneVideoFrame(uint64_t timeStamp, void* pFrame,
                                                           uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_FlushVideoPlaybackBuffer(uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_AudioCaptureStart(uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_AudioCaptureStop(uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetAudioCaptureBufferStatus(uint32_t* pStatus,
                                                                    uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetAudioPlaybackBufferStatus(uint32_t* pStatus,
                                                                     uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_ReadOneAudioFrame(uint64_t* pTimeStamp, void* pSamples,
                                                          uint32_t cardIndex);
/* The card is given the stamp plus 200,000 (20 ms) and plays the frame at the
 * first 40 ms block boundary of its audio clock at or after that time (the
 * next one, when it has passed); frames are played in order, as video frames
 * are. A frame stamped no more than 200,000 after the last one this process
 * wrote (before the first, one stamped 0) answers 1 and is dropped, also after
 * a flush: stamps 400,000 apart (25 frames a second) pass. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_WriteOneAudioFrame(uint64_t timeStamp, void* pSamples,
                                                           uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_FlushAudioPlaybackBuffer(uint32_t cardIndex);

/* Sources, modes, relays and picture controls */
VELMORA_EXPORT uint32_t Quorvel_Velmora_SetVideoRelayMode(uint32_t relayChannel, uint32_t mode,
                                                          uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetVideoRelayMode(uint32_t relayChannel, uint32_t* pMode,
                                                          uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_SetAudioRelayMode(uint32_t relayChannel, uint32_t mode,
                                                          uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetAudioRelayMode(uint32_t relayChannel, uint32_t* pMode,
                                                          uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetVideoMode(uint32_t* pMode, uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_SetVideoMode(uint32_t mode, uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetSyncSource(uint32_t* pSource, uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_SetSyncSource(uint32_t source, uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetVideoSource(uint32_t* pSource, uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_SetVideoSource(uint32_t source, uint32_t cardIndex);
/* *pStatus is 1 while the input the first video decoder has selected (the
 * video source, for sources 0 to 2) carries a locked signal, else 0; no other
 * bit is used. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetVideoInputStatus(uint32_t* pStatus, uint32_t cardIndex);
/* The card has no black-level control: the setter changes nothing and the
 * getter reads 0. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_SetVideoBlackLevel(uint32_t level, uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetVideoBlackLevel(uint32_t* pLevel, uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetAudioSource(uint32_t* pSource, uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_SetAudioSource(uint32_t source, uint32_t cardIndex);
/* Picture controls of the first video decoder: contrast and brightness take
 * 0 to 255 (a larger value counts as 255), hue and saturation keep the
 * value's low byte (300 is 44). The getters read back what the setters kept
 * in the card's EEPROM. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetVideoInputContrast(uint32_t* pValue, uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_SetVideoInputContrast(uint32_t value, uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetVideoInputBrightness(uint32_t* pValue,
                                                                uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_SetVideoInputBrightness(uint32_t value, uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetVideoInputHue(uint32_t* pValue, uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_SetVideoInputHue(uint32_t value, uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetVideoInputSaturation(uint32_t* pValue,
                                                                uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_SetVideoInputSaturation(uint32_t value, uint32_t cardIndex);

/* Versions, identity and test */
/* Version words: the board version is the word kept in the card's EEPROM
 * (three bytes, 0x10000 when none was written); the FPGA version is the
 * card's version register (0x50103 on the simulated card by default); the
 * driver version is major << 16 | minor << 8 | revision; the SDK version is
 * 0x40000. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetSerialNumber(uint32_t* pSerial, uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_Test(TEST_REQUEST* pRequest, uint32_t size,
                                             uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetBoardVersion(uint32_t* pVersion, uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetFPGAVersion(uint32_t* pVersion, uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetDriverVersion(uint32_t* pVersion, uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_GetSdkVersion(uint32_t* pVersion);

/* ASI. The packet length flag is VELMORA_ASI_PACKET_188 or _204. A length
 * set (see the flag) takes effect for this process's capture and playback at
 * their next enable (TsCaptureEnable, TsPlaybackEnable), which answers 0 when
 * that direction is still running (or receiving or sending over IP): disable
 * it first. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsSetAsiOutputMode(uint32_t mode, uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsGetAsiOutputMode(uint32_t* pMode, uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsSetAsiPacketLength(uint32_t lengthFlag,
                                                             uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsGetAsiPacketLength(uint32_t* pLengthFlag,
                                                             uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsGetAsiStatus(uint32_t* pStatus, uint32_t cardIndex);
/* 1 turns code-rate tracking on: the card's tracking bit is set, and a
 * playback enabled without a bit rate sends its packets with no gap between
 * them until a bit rate is set. Any other value turns it off and clears the
 * bit. The simulated card keeps
 * the bit but does not change its output for it. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsSetAsiCodeRateTrackStart(uint32_t on, uint32_t cardIndex);

/* Transport-stream capture, program information, recording and playback.
 *
 * Capture: packets arrive in the application's packet ring, which holds at most
 * 25,919 packets in either work mode. In work mode 1 the program engine moves
 * the stream in chunks of 1,632 packets (1,504 of 204 bytes), each as soon as
 * it is whole, and puts a chunk into the ring only when it fits there whole;
 * with a program filter or NIT replacement on, packets come through in smaller
 * batches. When the input stops (a stream on the card's ASI input that ends, a
 * cable pulled, the end of a stream sent over IP), what is left moves on as it
 * is once it has stood still for 150 ms where it waits: on the card for the
 * card's input, and in work mode 1 again in the program engine, which then
 * puts that part, less than a chunk, into the ring, the recordings and the
 * whole-stream file (which takes it before the ring does). Ask
 * Quorvel_Velmora_TsCaptureGetFillBufferNum first: it reports at most 3,240 of
 * the packets waiting. Then read with
 * Quorvel_Velmora_TsCaptureReadPacketsFromBuffer at most as many packets as
 * were waiting when that count was taken, less those read since; more than
 * 3,240 are accepted when that many were waiting, while a larger count, or 0,
 * is refused and reads nothing. The card is read in blocks of at least 32
 * packets while packets keep coming, and the last ones, fewer than 32, once
 * none has reached the card for 150 ms. Nothing captured before a disable is
 * read after it (a count asked before it allows no read). A work-mode change,
 * or an enable while capture runs, leaves the ring as it is: what it holds,
 * and a count asked before, stay good. Several processes may
 * capture from one card, each getting the whole stream: the card's input
 * stays on until the last of them disables capture, closes the card or ends,
 * and an enable while capture runs switches the input on again. A ring left
 * unread does not stop capture, and reads go on answering 1. In work mode 0,
 * once the ring and the SDK's ring of card entries are full, the card's
 * window keeps what comes (25,919 packets) while this capture reads furthest
 * on; behind another capture's point it keeps what the card has not written
 * over, the newest window less what the card writes over while it is read.
 * One capture's pause, stop, end or death never costs another a packet:
 * none of them moves the card's pointer past what another has yet to read,
 * so a capture that reads on loses only what arrives beyond the card's
 * window while it cannot read (held up behind a stopped process's lock, for
 * one). What finds no room is lost, and what came before is read whole. A
 * capture whose process is stopped or starved, beside another capture that
 * reads on, loses what the card wrote over meanwhile and reads on after it,
 * never an entry written over since. The log file
 * counts every packet that reached the card's input while the capture was
 * on and that it will never hand over, whatever the cause, in its "entry
 * ring full, ... packets dropped" lines (since the enable; at most one every
 * 2 s while the count changes, and the last when capture stops; a line may
 * count fewer than the one before, once what the card may have dropped while
 * its count could not be latched is settled, and the last line is the
 * capture's count); the ASI
 * packets that come while the stream is taken from IP (work mode 1 with
 * VELMORA_TS_INPUT_IP) are not counted. The gap a loss leaves in the stream
 * also shows as continuity errors, which the log file counts in its "CC"
 * lines. In work mode 1 the
 * program engine goes on taking the stream (recordings and the whole-stream
 * file lose nothing) and skips the chunks that find no room in the
 * application's ring (with a filter or NIT replacement on, in the engine's
 * filter ring before it); the log file counts them in its "output ring full,
 * ... chunks skipped" ("filter ring full, ...") lines. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsCaptureEnable(uint32_t cardIndex);
/* Answers 0, leaving the card's input as it is, when the input's switch could
 * not be had in time; the next disable then switches the input off if no
 * other process captures. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsCaptureDisable(uint32_t cardIndex);
/* VELMORA_TS_WORK_MODE_*; a mode above 2 is refused. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsCaptureSetWorkMode(uint32_t workMode, uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsCaptureGetWorkMode(uint32_t* pWorkMode,
                                                             uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsCaptureGetFillBufferNum(uint32_t* pPacketCount,
                                                                  uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsCaptureReadPacketsFromBuffer(void* pPackets,
                                                                       uint32_t packetCount,
                                                                       uint32_t cardIndex);
/* Records one program to an MPEG-2 program-stream file at pszOutputPath (a
 * file name), holding one video stream (stream type 2) and one audio stream
 * (type 3, 4 or 0x80 and above). They are taken from the program's stream list
 * in order, up to the point where both a video and an audio stream have been
 * listed: when a video stream comes first, the recording takes the first audio
 * stream and the last video stream listed before it; when an audio stream
 * comes first, the first video stream and the last audio stream listed before
 * it; a program without audio is recorded with its last video stream alone.
 * Answers 1 only when capture is enabled in work mode 1, this process has
 * read the program information successfully since the program appeared, the
 * program has a video stream (a program with audio only is refused, with a
 * line in the log file), it is not already being recorded, and the file can
 * be created (it is created at once). Disable takes the same road: it needs
 * the program in the last program information read, and it finds the
 * recording by the program number alone: the path is not compared (it must
 * not be null). A capture disable or a switch to work mode 0 ends every
 * recording of this process; the same program can then be recorded again. A
 * file that a recording, a whole-stream file or a mailbox capture file writes
 * already, in this process or another (however its path is spelt), is refused
 * and left as it is, and so is a path that names no regular file (a FIFO, a
 * device, a folder), at once. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsCaptureRecorderEnable(uint32_t programNumber,
                                                                const wchar_t* pszOutputPath,
                                                                uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsCaptureRecorderDisable(uint32_t programNumber,
                                                                 const wchar_t* pszOutputPath,
                                                                 uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsCaptureRecorderGetLength(uint32_t programNumber,
                                                                   uint32_t reserved,
                                                                   RECORD_LENGTH* pLength,
                                                                   uint32_t cardIndex);
/* See VELMORA_PROGRAM_INFO_* for the states. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsCaptureGetProgramInformation(
    TS_PROGRAM_INFORMATION* pInformation, uint32_t* pState, uint32_t cardIndex);
/* A count of 0 or less turns the filter off; the list may then be null. A
 * filter is taken only in work mode 1 once the stream's PAT, every PMT and an
 * SDT have been analysed: before that (and again after a capture restart or a
 * work-mode change, until they are analysed anew) the call answers 0 and
 * changes nothing. A restart or a work-mode change drops a filter that is on.
 * While a filter is on another is refused (0): turn the filter off (count 0)
 * before setting another. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsCaptureSetFilteredProgram(int32_t programCount,
                                                                    FILTERED_PROGRAM* pList,
                                                                    uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsSetInputSource(uint32_t source, uint32_t cardIndex);
/* Playback: the application writes packets into a packet ring that holds
 * 25,919 packets; the SDK paces them into a second ring of 25,919 entries,
 * which moves into the card's output window (25,919 entries) once
 * VELMORA_TS_PLAYBACK_START_PACKETS are queued: up to 77,757 packets are
 * accepted ahead of what the card has sent. Nothing is sent until a bit rate
 * is set. Ask Quorvel_Velmora_TsPlaybackGetEmptyBufferNum first: it reports at
 * most 3,240 of the free places. Then write at most as many packets as were
 * free when that count was taken, less those written since; more than 3,240
 * are accepted when that many were free, while a larger count, or 0, is
 * refused and writes nothing.
 *
 * Playing a finite stream out whole: a stream shorter than
 * VELMORA_TS_PLAYBACK_START_PACKETS is never sent unless it is padded with
 * null packets (PID 0x1FFF) to that length. After the last packet, up to
 * 77,757 packets may still be queued, and Quorvel_Velmora_TsPlaybackDisable
 * drops what the SDK still holds. So before the disable either go on writing
 * null packets until 77,757 more have been accepted, or wait the time the
 * queue takes to play at the bit rate set: 77,757 x 8 x packet length / bit
 * rate seconds (3.1 s for 188-byte packets at 38,000,000 bits a second).
 *
 * The card has one output, so one process plays at a time: while another
 * process's playback is on, the enable answers 0 (with a log line) and
 * changes nothing. The output is free again once that process disables,
 * closes the card, ends or dies; a stopped process (in a debugger, or by
 * Ctrl-Z) keeps it until it goes on and lets go, or is killed.
 *
 * The enable waits up to 2 s for the card to finish what an earlier stream
 * (of another process, or played before a close) left on it. A stream the
 * card still plays then, as that of a player killed with its queue full, is
 * cut after the packet on the cable. Either way the new stream starts where
 * the card stands: none of the earlier one plays again, nor after the new
 * one's first packet. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsPlaybackEnable(uint32_t cardIndex);
/* Packets still queued in the SDK are dropped; the call waits up to 2 s for
 * the card to send what its window holds, and what is left there then is
 * overwritten with null packets, so that none of it plays after the next
 * enable. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsPlaybackDisable(uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsPlaybackGetEmptyBufferNum(uint32_t* pPacketCount,
                                                                    uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsPlaybackWritePacketsToBuffer(void* pPackets,
                                                                       uint32_t packetCount,
                                                                       uint32_t cardIndex);
/* Bits a second, within VELMORA_TS_MIN_BIT_RATE_* and VELMORA_TS_MAX_BIT_RATE_*
 * of the packet length the rate is played at: while playback is enabled, the
 * length it plays; while it is not, the length its next
 * Quorvel_Velmora_TsPlaybackEnable takes, the card's (the one this process set
 * last with Quorvel_Velmora_TsSetAsiPacketLength, or found at its open), not
 * the one the last enable took. Other rates are refused and the old rate is
 * kept. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsPlaybackSetBitRate(uint32_t bitRate, uint32_t cardIndex);

/* NIT replacement, in work mode 1. Quorvel_Velmora_TsReplaceNitSetNitInformation
 * turns it on: from then on every NIT packet (PID 0x10) of the application's
 * stream is replaced, one for one, by the packets of a NIT section built from
 * the block given (network id, version, network name, and per transport
 * stream its ids, a cable delivery descriptor and its service list). A block
 * with more than 128 transport streams or 60 services in one, a frequency
 * above 9,999,999 kHz, a symbol rate above 999,999 ksymbol/s, or whose section
 * would exceed 1,012 bytes is refused (0, with a line in the log file).
 * Quorvel_Velmora_TsReplaceNitEnable always answers 0 and changes nothing.
 * Quorvel_Velmora_TsReplaceNitDisable turns replacement off (1 whether or not
 * it was on). Quorvel_Velmora_TsReplaceNitGetNitInformation copies the NIT
 * the program engine analysed in the captured stream, not the replacement; it
 * answers 0, leaving the block as it was, until a NIT has been analysed. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsReplaceNitEnable(uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsReplaceNitDisable(uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsReplaceNitGetNitInformation(NIT_INFORMATION* pNit,
                                                                      uint32_t reserved,
                                                                      uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_TsReplaceNitSetNitInformation(const NIT_INFORMATION* pNit,
                                                                      uint32_t cardIndex);

/* Transport stream over IP and the whole-stream file. The parameters take
 * only the packet length the card's engines use (see the ASI packet length);
 * port 0 (with a line in the log file), a port above 65535, or an address
 * that is neither dotted IPv4 nor a host name (letters, digits and hyphens
 * in labels between dots; "abc" is one, "1.2.3" is not) is refused where it
 * is set. The sender looks a host name up when Quorvel_Velmora_UdpRun starts
 * it, which answers 0, with a line in the log file, when the name does not
 * resolve (a name that begins with 224 to 239 is taken for a multicast group
 * and answers 0 there, with the line "Socket error is:22" on standard error
 * and in the log file). The receiver looks no name up (see below).
 * dwReserved and dwFlag are kept and mean nothing.
 *
 * Quorvel_Velmora_UdpRun sends the playback stream, 7 packets a datagram: each
 * packet written with Quorvel_Velmora_TsPlaybackWritePacketsToBuffer goes once
 * the card has played it, so the datagrams follow the bit rate set. The IP copy
 * never holds up the card's output: when the network takes less than the bit
 * rate and the sender has no room left (for at least 25,900 packets played and
 * not yet sent), the packets for IP are dropped until it has room again, and
 * each time the count of drops since the UdpRun reaches a multiple of 2,000,
 * the line "TsOverIp: Drop <count> TsPacket!" goes to the trace output
 * (standard error when VELMORA_TRACE is set; nowhere otherwise).
 * Quorvel_Velmora_UdpStop, and the playback disable, which stops the sender
 * too, do not wait for a slow network: played packets the network does not take
 * at once are not sent. What the card held at the UdpRun is not sent, and the
 * last 1 to 7 packets played wait for more to fill a datagram. To a multicast
 * group (first number 224 to 239) datagrams leave by the interface of the
 * host's first IPv4 address (that of the first interface that is up and has
 * one, in the system's order; a loopback address only when there is no other),
 * from that address, with a time-to-live of 5; any other address gets plain
 * unicast. An RTP header carries payload type 33, a sequence number from 0, the
 * sender's millisecond tick count as time stamp and SSRC 0.
 *
 * The receiver takes datagrams at the port on every local address, from any
 * sender; a multicast address is joined on the interface the system's routes
 * give for it, and any other address is not used. With RTP it takes only
 * datagrams whose first byte is 0x80: a header with CSRCs, an extension or
 * padding is dropped without a word. Of a datagram only whole packets are
 * kept, and only when every packet in it starts with the sync byte. What
 * arrives reaches the application only in work mode 1 with
 * Quorvel_Velmora_TsSetInputSource (VELMORA_TS_INPUT_IP): in work mode 0 that
 * call answers 1 and the ASI input keeps coming until work mode 1 is set. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_SetParameter(TS_OVER_IP_PARAM param, uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_UdpRun(uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_UdpStop(uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_SetReceiveParameter(TS_OVER_IP_PARAM param,
                                                            uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_UdpReceiveRun(uint32_t cardIndex);
/* A capture disable also stops the receiver; a Quorvel_Velmora_UdpReceiveStop
 * after it answers 0. Stopping a running receiver, by either call, takes up to
 * 0.5 s: the receiver's wait for a datagram ends first. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_UdpReceiveStop(uint32_t cardIndex);
/* The whole-stream file is written by the program engine: the call answers 0
 * while the engine is not running (outside work mode 1 it runs on only in work
 * mode 2 set after work mode 1, until a disable stops it: after a disable and
 * an enable in work mode 2 the call answers 0), while a file is written
 * already, for a file that a recording, another whole-stream file or a
 * mailbox capture file writes already, in this process or another (the file
 * is left as it is), when the path names no regular file (a FIFO, a device,
 * a folder: refused at once) or when the file cannot be created. */
VELMORA_EXPORT uint32_t Quorvel_Velmora_StartWriteTsFile(const wchar_t* pszFileName,
                                                         uint32_t cardIndex);
VELMORA_EXPORT uint32_t Quorvel_Velmora_StopWriteTsFile(uint32_t cardIndex);

#endif /* VELMORA_H */
