/* Records and constants of the Orvanta Time Shift filter that cross its interfaces. Plain C++;
   compiles on its own with the Windows headers or, for the portable core, without them. */
#pragma once

#include <stdint.h>

#if defined(_WIN32)
typedef wchar_t OLECHAR; /* as the platform's headers declare them */
typedef OLECHAR* BSTR;
#else
typedef char16_t OLECHAR;
typedef OLECHAR* BSTR;
#endif

/* Option bits of TSBufferConfig::options. */
enum TSBufferOption : uint32_t {
  PreAllocate = 1,     /* the buffer file takes its full size when opened */
  DeleteOnClose = 2,   /* the system deletes the file when its last handle closes */
  NoWrap = 4,          /* a write that does not fit before the end is not wrapped */
  ExtendWhenFull = 8,  /* with NoWrap: such a write is appended and the buffer grows */
};

/* Playback state (TSPROPERTY_PLAY_STATE). */
enum TSPlayState : uint32_t {
  TSSTATE_IDLE = 0,     /* no playback from the buffer */
  TSSTATE_PAUSED = 1,   /* paused by the host: recording goes on, the output holds */
  TSSTATE_PLAYING = 2,  /* the output delivers from the buffer */
};

/* Buffer configuration, 32 bytes on x64. Strings handed out in it belong to the receiver, who
   frees them with SysFreeString. */
struct TSBufferConfig {
  BSTR directory;            /* folder of the buffer file; its first three characters name the drive root */
  BSTR fileName;             /* buffer file name */
  uint32_t sizeKB;           /* buffer size, KB */
  uint32_t minFreeMB;        /* disk space to leave free, MB */
  uint32_t initialTimeShift; /* bytes, TS_INITIAL_TIME_SHIFT_MIN .. TS_INITIAL_TIME_SHIFT_MAX */
  uint32_t options;          /* TSBufferOption bits */
};

/* Cache configuration: six values, 24 bytes. */
struct TSCacheConfig {
  uint32_t inputCacheKB;     /* write cache size, KB (default 4096) */
  uint32_t inputChunkKB;     /* write worker transfer size, KB (default 4096) */
  uint32_t inputThreshold;   /* percent, stored only (default 0) */
  uint32_t outputCacheKB;    /* read cache size, KB (default 1024) */
  uint32_t outputChunkKB;    /* read worker transfer size, KB (default 128) */
  uint32_t outputThreshold;  /* percent of the read cache filled before playback starts (default 75) */
};

/* Timing instrumentation switches and thresholds, 20 bytes. */
enum TSInstrumentationFlag : uint32_t {
  TSINST_INPUT = 1,   /* time each buffer write */
  TSINST_OUTPUT = 2,  /* time each sample fill */
};

struct TSInstrumentationSettings {
  uint32_t flags;              /* TSInstrumentationFlag bits (default 0) */
  uint32_t inputInterCallUs;   /* default 750 */
  uint32_t inputIntraCallUs;   /* default 1500 */
  uint32_t outputInterCallUs;  /* default 1000 */
  uint32_t outputIntraCallUs;  /* default 5000 */
};

/* Sample times and pull ranges count stream bytes in the platform's 100 ns units: one byte of
   stream position is TS_UNITS_PER_SECOND units, the number of units in a second. */
inline constexpr int64_t TS_UNITS_PER_SECOND = 10000000;

/* The cache settings in force until others are stored ("Input Cache", "Output Cache"). */
inline constexpr TSCacheConfig TS_DEFAULT_CACHE_CONFIG = {4096, 4096, 0, 1024, 128, 75};

/* The initial time-shift, bytes ("Initial Time-Shift"): its range and its default. */
inline constexpr uint32_t TS_INITIAL_TIME_SHIFT_MIN = 0x80000;   /* 512 KB */
inline constexpr uint32_t TS_INITIAL_TIME_SHIFT_MAX = 0x2000000; /* 32 MB */
inline constexpr uint32_t TS_INITIAL_TIME_SHIFT_DEFAULT = TS_INITIAL_TIME_SHIFT_MIN;

/* Where the filter's times come from (TSTimeStatus::source). */
enum TSTimeSource : uint32_t {
  TSTIME_NONE = 0,           /* nothing timed yet: the time figures read -1 */
  TSTIME_MEASURED_RATE = 1,  /* the input rate measured over the last 10 s of arrivals */
  TSTIME_STREAM_CLOCK = 2,   /* the transport stream's own clock (its PCR) */
};

/* The filter's time figures, 48 bytes (TSPROPSETID_Time, TSPROPERTY_TIME_STATUS). Seconds are
   -1 while the stream cannot be timed. */
struct TSTimeStatus {
  double retainedSeconds;       /* from the oldest retained byte to the newest received */
  double delaySeconds;          /* from the play position to the newest byte received */
  double secondsUntilOverwrite; /* until the file is full at the measured rate; 0 once it is */
  uint64_t bitsPerSecond;       /* the measured input rate, 0 until measured */
  uint64_t droppedBytes;        /* input bytes dropped since the buffer started */
  uint32_t source;              /* TSTimeSource */
  uint32_t reserved;            /* 0 */
};

/* What an export is doing (TSExportProgress::state). */
enum TSExportState : uint32_t {
  TSEXPORT_NONE = 0,       /* none started since the filter was made */
  TSEXPORT_RUNNING = 1,
  TSEXPORT_DONE = 2,       /* saved to its end, or stopped: the file is whole */
  TSEXPORT_CANCELLED = 3,  /* cancelled: the file was deleted */
  TSEXPORT_FAILED = 4,     /* ended early (result says why): the file holds what was saved before */
};

/* An export's progress, 24 bytes. */
struct TSExportProgress {
  uint32_t state;        /* TSExportState */
  int32_t result;        /* HRESULT: why a TSEXPORT_FAILED export ended; S_OK otherwise */
  uint64_t bytesWritten; /* bytes in the file so far */
  double secondsCovered; /* stream seconds those bytes hold */
};

/* Status codes of the time interface and its exports (HRESULT values, FACILITY_ITF). */
/* The recording overwrote stream bytes before they were read: an export started too close to
   the oldest retained byte, or one that could not keep ahead of a ring lapping it. */
inline constexpr int32_t OVTS_E_OVERTAKEN = (int32_t)0x80048F01;
/* The buffer was flushed or stopped: the stream the bytes belonged to is gone. */
inline constexpr int32_t OVTS_E_STREAM_RESET = (int32_t)0x80048F02;

#if defined(_WIN64) || defined(__x86_64__)
static_assert(sizeof(TSBufferConfig) == 32, "TSBufferConfig crosses the interfaces as 32 bytes");
#endif
static_assert(sizeof(TSCacheConfig) == 24, "TSCacheConfig crosses the interfaces as 24 bytes");
static_assert(sizeof(TSInstrumentationSettings) == 20, "TSInstrumentationSettings is 20 bytes");
static_assert(sizeof(TSTimeStatus) == 48, "TSTimeStatus crosses the property set as 48 bytes");
static_assert(sizeof(TSExportProgress) == 24, "TSExportProgress crosses the time interface as 24 bytes");
