/* The public header a host compiles against to use the Orvanta Time Shift filter (ovts.ax):
   class identifiers, the control and instrumentation interfaces, the property sets and the
   records they carry. Plain C++ for any mingw-w64 or MSVC host; it needs only the Windows SDK. */
#pragma once

#include <objbase.h>

#include "OVTimeShiftTypes.h"

#define OVTS_FILTER_NAME L"Orvanta Time Shift"

#if defined(_MSC_VER)
#define OVTS_INTERFACE(iid) struct __declspec(uuid(iid)) __declspec(novtable)
#else
#define OVTS_INTERFACE(iid) struct
#endif

/* Classes served by ovts.ax. */
/* {1D349B41-9B67-11D3-B718-00A0CC502E02} */
inline constexpr CLSID CLSID_OVTimeShiftFilter = {0x1D349B41, 0x9B67, 0x11D3, {0xB7, 0x18, 0x00, 0xA0, 0xCC, 0x50, 0x2E, 0x02}};
/* {BD7EA3E1-2666-11D4-B269-00A0D21825FB} "General Properties" */
inline constexpr CLSID CLSID_TSGeneralProps = {0xBD7EA3E1, 0x2666, 0x11D4, {0xB2, 0x69, 0x00, 0xA0, 0xD2, 0x18, 0x25, 0xFB}};
/* {AB354A01-2809-11D4-B269-00A0D21825FB} "Buffer Status Properties" */
inline constexpr CLSID CLSID_TSBufStatPropPage = {0xAB354A01, 0x2809, 0x11D4, {0xB2, 0x69, 0x00, 0xA0, 0xD2, 0x18, 0x25, 0xFB}};
/* {29F98181-6702-11D4-A90B-0050DACE2436} "Cache Properties" */
inline constexpr CLSID CLSID_TSCacheProps = {0x29F98181, 0x6702, 0x11D4, {0xA9, 0x0B, 0x00, 0x50, 0xDA, 0xCE, 0x24, 0x36}};
/* {B8E11521-693C-11D4-A90B-0050DACE2436} "Instrumentation Properties" */
inline constexpr CLSID CLSID_TSPerfInstProp = {0xB8E11521, 0x693C, 0x11D4, {0xA9, 0x0B, 0x00, 0x50, 0xDA, 0xCE, 0x24, 0x36}};

/* Property sets of the filter's IKsPropertySet. */
/* {F3BA8021-2A60-11D4-B269-00A0D21825FB} */
inline constexpr GUID TSPROPSETID_Control = {0xF3BA8021, 0x2A60, 0x11D4, {0xB2, 0x69, 0x00, 0xA0, 0xD2, 0x18, 0x25, 0xFB}};
/* {72100E1F-9EF3-464B-BDAF-DCB8846D2767} */
inline constexpr GUID TSPROPSETID_PassThrough = {0x72100E1F, 0x9EF3, 0x464B, {0xBD, 0xAF, 0xDC, 0xB8, 0x84, 0x6D, 0x27, 0x67}};

/* Read-only figures of the recording: what the filter had to drop, and why. */
/* {F394BC39-40C1-4479-8C04-BC5CE84623F5} */
inline constexpr GUID TSPROPSETID_Recording = {0xF394BC39, 0x40C1, 0x4479, {0x8C, 0x04, 0xBC, 0x5C, 0xE8, 0x46, 0x23, 0xF5}};

enum TSRecordingPropertyId : unsigned long {
  /* 64-bit unsigned: bytes of the input dropped since the buffer started (the disk did not keep
     up, or could not be written). Each gap is marked as a discontinuity in the delivered stream. */
  TSPROPERTY_RECORDING_DROPPED_BYTES = 1,
  /* 32-bit HRESULT: why the disk refuses data now (recording is suspended and retried), S_OK
     while recording goes to the file. */
  TSPROPERTY_RECORDING_FAULT = 2,
  /* TSRecordingText: the buffer file in use; empty while the buffer is stopped. When another
     filter uses the configured file, a name beside it ("TShift-2.mpg"). */
  TSPROPERTY_RECORDING_FILE = 3,
  /* TSRecordingText: why the buffer refused to start, or why recording is suspended; empty when
     nothing is wrong. */
  TSPROPERTY_RECORDING_PROBLEM = 4,
};

/* A text property: zero-terminated, cut to fit. */
struct TSRecordingText {
  wchar_t text[260];
};

/* Read-only time figures of the recorded stream: what the buffer holds and how far playback is
   behind live, in seconds of the stream's own clock (a transport stream's PCR) or, for other
   streams and until that clock is found, of the measured input rate. Set answers
   HRESULT_FROM_WIN32(ERROR_NOT_FOUND); QuerySupported says get-only. */
/* {97C89DE7-C540-4C84-B603-DAAC5DC652B5} */
inline constexpr GUID TSPROPSETID_Time = {0x97C89DE7, 0xC540, 0x4C84, {0xB6, 0x03, 0xDA, 0xAC, 0x5D, 0xC6, 0x52, 0xB5}};

enum TSTimePropertyId : unsigned long {
  TSPROPERTY_TIME_BIT_RATE = 1,        /* 64-bit unsigned: measured input rate, bits per second; 0 until measured */
  TSPROPERTY_TIME_RETAINED = 2,        /* double: seconds retained, oldest byte to the newest received */
  TSPROPERTY_TIME_DELAY = 3,           /* double: seconds the play position is behind the newest byte received */
  TSPROPERTY_TIME_UNTIL_OVERWRITE = 4, /* double: seconds until the file is full, at the measured rate (see TSTimeStatus) */
  TSPROPERTY_TIME_DROPPED_BYTES = 5,   /* 64-bit unsigned: input bytes dropped since the buffer started */
  TSPROPERTY_TIME_SOURCE = 6,          /* 32-bit TSTimeSource: where the seconds come from */
  TSPROPERTY_TIME_STATUS = 7,          /* TSTimeStatus, 48 bytes: all of the above at one moment */
};

/* Events the filter sends to the graph's event sink (IMediaEventSink::Notify), in the user
   range of event codes. */
/* The disk refused data (full, or failing): param1 is its HRESULT. Sent once per outage; the
   filter drops (counts and marks) the input and retries until the disk takes data again. */
inline constexpr long EC_OVTS_RECORDING_FAULT = 0x8F01;
/* Recording goes to the file again after EC_OVTS_RECORDING_FAULT. */
inline constexpr long EC_OVTS_RECORDING_RESUMED = 0x8F02;

enum TSPropertyId : unsigned long {
  TSPROPERTY_PLAY_POSITION = 3,   /* Control: 64-bit signed byte position (Set: absolute seek) */
  TSPROPERTY_CACHE_SETTINGS = 4,  /* Control: TSCacheConfig, 24 bytes */
  TSPROPERTY_CACHE_BITRATE = 5,   /* Control: 32-bit bit rate in kilobits per second (Set only) */
  TSPROPERTY_BUFFER_SETTINGS = 6, /* Control: TSBufferConfig, 32 bytes; Set takes over its strings */
  TSPROPERTY_PASS_THROUGH = 7,    /* PassThrough: 32-bit flag, non-zero for on */
  TSPROPERTY_PLAY_STATE = 8,      /* Control: 32-bit TSPlayState (Get only) */
};

/* {BD7EA3E2-2666-11D4-B269-00A0D21825FB} */
inline constexpr IID IID_IOVTimeShiftFilter = {0xBD7EA3E2, 0x2666, 0x11D4, {0xB2, 0x69, 0x00, 0xA0, 0xD2, 0x18, 0x25, 0xFB}};
/* {36716E12-0025-4AE1-8F11-5AD6539C404C} */
inline constexpr IID IID_IOVTSInstrumentation = {0x36716E12, 0x0025, 0x4AE1, {0x8F, 0x11, 0x5A, 0xD6, 0x53, 0x9C, 0x40, 0x4C}};

/* Time-shift control. Settings are persisted in the registry and take full effect when the graph
   next leaves Stopped. Positions, sizes and locations are byte counts. */
OVTS_INTERFACE("BD7EA3E2-2666-11D4-B269-00A0D21825FB") IOVTimeShiftFilter : public IUnknown {
  /* The caller owns the two strings returned. */
  virtual HRESULT STDMETHODCALLTYPE GetBufferSettings(TSBufferConfig* config) = 0;
  /* Consumes the record: frees its strings, zeroes sizeKB and options. */
  virtual HRESULT STDMETHODCALLTYPE SetBufferSettings(TSBufferConfig* config) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBufferParam(intptr_t argument) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetBufferParam(uint32_t id, int32_t value) = 0;
  /* Normalises the record in place (sizes to 256 KB steps, chunks to 32 KB steps). */
  virtual HRESULT STDMETHODCALLTYPE SetCacheSettings(TSCacheConfig* config) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCacheSettings(TSCacheConfig* config) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetCacheBitRate(uint32_t kbitsPerSecond) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCacheBitRate(uint32_t* kbitsPerSecond) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetInitialTimeShift(int32_t bytes) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetInitialTimeShift(uint32_t* bytes) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetReadLocation(int64_t* location) = 0;
  /* mode 2: relative to the play position; any other mode: absolute. At most once a second. */
  virtual HRESULT STDMETHODCALLTYPE SetPlayPosition(int64_t position, int32_t mode) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTotalBufferSize(int64_t* size) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCurrentBufferSize(int64_t* size) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetWriteLocation(int64_t* location) = 0;
  virtual HRESULT STDMETHODCALLTYPE Flush() = 0;
  virtual HRESULT STDMETHODCALLTYPE Pause() = 0;
  virtual HRESULT STDMETHODCALLTYPE Resume() = 0;
  /* Settings then live under path + "\TShift" (below HKEY_CURRENT_USER). */
  virtual HRESULT STDMETHODCALLTYPE SetRegistryBase(const char* path) = 0;
  virtual HRESULT STDMETHODCALLTYPE SeekToLive() = 0;
};

/* Timing instrumentation of the input and output paths (not persisted). */
OVTS_INTERFACE("36716E12-0025-4AE1-8F11-5AD6539C404C") IOVTSInstrumentation : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetInstrumentation(TSInstrumentationSettings* settings) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetInstrumentation(const TSInstrumentationSettings* settings) = 0;
};

/* {0480355B-1D8D-46CF-B930-36BA24D292FD} */
inline constexpr IID IID_IOVTimeShiftTime = {0x0480355B, 0x1D8D, 0x46CF, {0xB9, 0x30, 0x36, 0xBA, 0x24, 0xD2, 0x92, 0xFD}};

/* An export's end that follows the live edge until StopExport (StartExport's endBehindLive). */
inline constexpr double TS_EXPORT_FOLLOW_LIVE = -1.0;

/* Seeking by seconds and saving a stretch of the recording, while recording goes on. Seconds
   count the stream's own clock (TSPROPSETID_Time says which). "Live" is the newest byte the
   filter has received. Any host thread.
   Codes beside S_OK: E_PENDING while the stream cannot be timed yet; VFW_E_WRONG_STATE while the
   buffer is not running (the graph is stopped, or in pass-through); E_INVALIDARG for seconds
   that are negative (where they must not be) or not finite. */
OVTS_INTERFACE("0480355B-1D8D-46CF-B930-36BA24D292FD") IOVTimeShiftTime : public IUnknown {
  /* Plays from `seconds` (>= 0) behind live, or from the oldest retained byte when fewer are
     held. In a transport stream playback resumes on a packet start; the first sample after the
     seek is marked as a discontinuity. At most one seek a second, as SetPlayPosition: S_FALSE,
     and nothing done, within a second of the last one accepted. */
  virtual HRESULT STDMETHODCALLTYPE SeekBehindLive(double seconds) = 0;
  /* As SeekBehindLive, `seconds` from the play position: negative back, positive forward. */
  virtual HRESULT STDMETHODCALLTYPE SeekRelative(double seconds) = 0;
  /* Saves the stream from `startBehindLive` to `endBehindLive` seconds behind live into a new
     file at `path` (replacing one there), on a thread of its own; playback and recording go on
     untouched. TS_EXPORT_FOLLOW_LIVE as the end follows the live edge until StopExport. The
     range is clamped to what is retained; a transport stream's file starts and ends on packet
     starts and holds whole packets only. HRESULT_FROM_WIN32(ERROR_BUSY) while an export runs;
     E_INVALIDARG when the end is not later than the start; a failure to create the file as
     the system reports it. An export that the recording overtakes ends TSEXPORT_FAILED with
     OVTS_E_OVERTAKEN; one whose stream is flushed or stopped before its end is saved ends
     TSEXPORT_FAILED with OVTS_E_STREAM_RESET (a live-following one ends TSEXPORT_DONE). */
  virtual HRESULT STDMETHODCALLTYPE StartExport(const wchar_t* path, double startBehindLive, double endBehindLive) = 0;
  /* The last export's progress (TSEXPORT_NONE before the first). */
  virtual HRESULT STDMETHODCALLTYPE GetExportProgress(TSExportProgress* progress) = 0;
  /* Ends the export where it is: the file keeps what was saved (TSEXPORT_DONE). Returns once it
     has ended; S_FALSE when none runs. */
  virtual HRESULT STDMETHODCALLTYPE StopExport() = 0;
  /* Ends the export and deletes its file (TSEXPORT_CANCELLED). S_FALSE when none runs. */
  virtual HRESULT STDMETHODCALLTYPE CancelExport() = 0;
};

/* The settings the filter keeps in the registry: the key, each value's name, type and the default
   read when the value is absent. Numbers are little-endian 32-bit unsigned. */
/* Default settings key, below HKEY_CURRENT_USER (a value missing there is read from the same path
   under HKEY_LOCAL_MACHINE). */
inline constexpr char kTSDefaultKeyPath[] = "Software\\Orvanta\\Common\\TShift";
/* Appended to a host's own base path (SetRegistryBase): the key is always a "TShift" sub-key. */
inline constexpr char kTSKeyLeaf[] = "\\TShift";

struct TSStringSetting { /* REG_SZ */
  const char* name;
  const char* defaultValue;
};

struct TSDwordSetting { /* REG_DWORD */
  const char* name;
  uint32_t defaultValue;
};

struct TSTripleSetting { /* REG_BINARY of exactly 12 bytes: three 32-bit values */
  const char* name;
  uint32_t defaultValue[3];
};

inline constexpr TSStringSetting kTSDrive{"Drive", "C:\\"};
inline constexpr TSStringSetting kTSFile{"File", "TShift.mpg"};
inline constexpr TSDwordSetting kTSMaxBufSizeKB{"Max BufSize (KB)", 32768};
inline constexpr TSDwordSetting kTSMinDiskFreeMB{"Min Disk Free Space (MB)", 128};
inline constexpr TSDwordSetting kTSOptions{"Options", PreAllocate};
/* Written only inside TS_INITIAL_TIME_SHIFT_MIN .. TS_INITIAL_TIME_SHIFT_MAX (bytes, inclusive). */
inline constexpr TSDwordSetting kTSInitialTimeShift{"Initial Time-Shift", TS_INITIAL_TIME_SHIFT_DEFAULT};
/* Cache size KB, transfer size KB, threshold percent. */
inline constexpr TSTripleSetting kTSInputCache{
    "Input Cache",
    {TS_DEFAULT_CACHE_CONFIG.inputCacheKB, TS_DEFAULT_CACHE_CONFIG.inputChunkKB, TS_DEFAULT_CACHE_CONFIG.inputThreshold}};
inline constexpr TSTripleSetting kTSOutputCache{
    "Output Cache",
    {TS_DEFAULT_CACHE_CONFIG.outputCacheKB, TS_DEFAULT_CACHE_CONFIG.outputChunkKB, TS_DEFAULT_CACHE_CONFIG.outputThreshold}};

/* The bytes a string takes in the registry, its terminator included. */
constexpr DWORD TSTextBytes(const char* text) {
  DWORD bytes = 1;
  while (*text++) ++bytes;
  return bytes;
}

/* The same values as one table, in the order a host lists them; each default as the bytes the
   registry would hold. */
struct TSSettingInfo {
  const char* name;
  DWORD type;
  const void* defaultData;
  DWORD defaultSize;
};

inline constexpr TSSettingInfo kTSSettings[] = {
    {kTSDrive.name, REG_SZ, kTSDrive.defaultValue, TSTextBytes(kTSDrive.defaultValue)},
    {kTSFile.name, REG_SZ, kTSFile.defaultValue, TSTextBytes(kTSFile.defaultValue)},
    {kTSMaxBufSizeKB.name, REG_DWORD, &kTSMaxBufSizeKB.defaultValue, sizeof(uint32_t)},
    {kTSMinDiskFreeMB.name, REG_DWORD, &kTSMinDiskFreeMB.defaultValue, sizeof(uint32_t)},
    {kTSOptions.name, REG_DWORD, &kTSOptions.defaultValue, sizeof(uint32_t)},
    {kTSInitialTimeShift.name, REG_DWORD, &kTSInitialTimeShift.defaultValue, sizeof(uint32_t)},
    {kTSInputCache.name, REG_BINARY, kTSInputCache.defaultValue, sizeof(kTSInputCache.defaultValue)},
    {kTSOutputCache.name, REG_BINARY, kTSOutputCache.defaultValue, sizeof(kTSOutputCache.defaultValue)},
};

#ifdef __CRT_UUID_DECL
__CRT_UUID_DECL(IOVTimeShiftFilter, 0xBD7EA3E2, 0x2666, 0x11D4, 0xB2, 0x69, 0x00, 0xA0, 0xD2, 0x18, 0x25, 0xFB)
__CRT_UUID_DECL(IOVTSInstrumentation, 0x36716E12, 0x0025, 0x4AE1, 0x8F, 0x11, 0x5A, 0xD6, 0x53, 0x9C, 0x40, 0x4C)
__CRT_UUID_DECL(IOVTimeShiftTime, 0x0480355B, 0x1D8D, 0x46CF, 0xB9, 0x30, 0x36, 0xBA, 0x24, 0xD2, 0x92, 0xFD)
#endif
