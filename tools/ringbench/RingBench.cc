// ovts-ringbench: drives one time-shift buffer with a writer thread and a reader thread and
// prints one line of key=value figures. The writer writes the stream pattern, the reader checks
// every byte of it, so the line also says what was lost or damaged on the way.
//
// With --stdin --stdout it is a pipe stage instead: the writer thread takes standard input into
// the buffer, waiting for room rather than overwriting, and the reader thread hands every byte on
// to standard output in order; its figures go to standard error.
#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <cerrno>
#include <unistd.h>
#endif

#include "buffer/CCircFileBuf.h"
#include "buffer/CCircMemBuf.h"
#include "platform/Platform.h"
#include "tools/common/OptionValues.h"
#include "tools/common/ProcessCpu.h"
#include "tools/common/StreamPattern.h"

namespace {

using namespace ovts;
using tools::ParseNumber;
using tools::ParseUnsigned;

constexpr char kUsage[] =
    "usage: ovts-ringbench [options]\n"
    "  --buffer mem|file     the memory ring buffer or the file buffer with its caches (mem)\n"
    "  --size-kb N           buffer size in KB (32768)\n"
    "  --seconds S           how long the writer and the reader run (5)\n"
    "  --write-block B       bytes per Write (32768)\n"
    "  --read-block B        bytes per Read (32768)\n"
    "  --rate-mbps R         writer pace in MB/s of 10^6 bytes, 0 for flat out (0)\n"
    "  --dir D               folder of the buffer file, a Windows path (C:\\)\n"
    "  --cache a,b,c,d,e,f   input cache KB, input chunk KB, input threshold %,\n"
    "                        output cache KB, output chunk KB, output threshold % (4096,4096,0,1024,128,75)\n"
    "  --lossless            the writer waits for free space (the write cache's too) instead of\n"
    "                        overwriting unread bytes, so the rates are sustainable ones\n"
    "  --stdin --stdout      a pipe stage: standard input through the buffer to standard output,\n"
    "                        lossless, until standard input ends and every byte is out (no\n"
    "                        --seconds or --rate-mbps); the figures go to standard error\n"
    "  --help                this text\n"
    "Prints: buffer= written_bytes= read_bytes= lost_bytes= dropped_bytes= corrupt_bytes= discontinuities=\n"
    "seconds= "
    "write_MBps= read_MBps= memcpy_MBps= cpu_pct= (MB = 10^6 bytes; memcpy_MBps is one thread\n"
    "copying a block of at least 64 MiB, more than the caches hold, into another, measured in the\n"
    "same run; cpu_pct is the process's CPU time while writer and reader ran over that wall time,\n"
    "in percent of one core). A pipe stage prints buffer= bytes= discontinuities= seconds= MBps=\n"
    "cpu_pct= to standard error.\n"
    "Exit status: 0, 1 when bytes arrived corrupt, the buffer or the pipe failed, or the buffer\n"
    "kept bytes after standard input ended; 2 for a bad option.\n";

struct Options {
  bool file = false;
  uint32_t sizeKB = 32768;
  double seconds = 5;
  uint32_t writeBlock = 32768;
  uint32_t readBlock = 32768;
  double rateMBps = 0;
  std::string dir = "C:\\";
  TSCacheConfig cache = TS_DEFAULT_CACHE_CONFIG;
  bool lossless = false;
  bool pipe = false;  // --stdin --stdout
};

bool ParseCache(const char* text, TSCacheConfig* cache) {
  uint32_t values[6];
  std::string rest = text ? text : "";
  for (int i = 0; i < 6; ++i) {
    const size_t comma = rest.find(',');
    const std::string item = rest.substr(0, comma);
    if (!ParseUnsigned(item.c_str(), 4194303, &values[i])) return false;
    if ((comma == std::string::npos) != (i == 5)) return false;
    rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
  }
  *cache = TSCacheConfig{values[0], values[1], values[2], values[3], values[4], values[5]};
  return true;
}

// Reads the command line into o: empty to run, else the exit status to end with.
std::optional<int> ReadCommandLine(int argc, char** argv, Options* o) {
  bool stdinGiven = false;
  bool stdoutGiven = false;
  bool paceGiven = false;  // --seconds or --rate-mbps
  const auto pace = [&](double min, double* out) {
    return [&paceGiven, min, out](const char* v) {
      paceGiven = true;
      return ParseNumber(v, min, out);
    };
  };
  const auto block = [](uint32_t* out) { return [out](const char* v) { return ParseUnsigned(v, 1u << 30, out) && *out > 0; }; };
  const auto flag = [](bool* out) { return [out](const char*) { return *out = true; }; };
  return tools::ReadOptions(
      argc, argv, "ovts-ringbench", kUsage,
      {{"--lossless", flag(&o->lossless), true},
       {"--stdin", flag(&stdinGiven), true},
       {"--stdout", flag(&stdoutGiven), true},
       {"--buffer",
        [&](const char* v) {
          o->file = !std::strcmp(v, "file");
          return o->file || !std::strcmp(v, "mem");
        }},
       {"--size-kb", [&](const char* v) { return ParseUnsigned(v, 4194303, &o->sizeKB) && o->sizeKB > 0; }},
       {"--seconds", pace(0.001, &o->seconds)},
       {"--write-block", block(&o->writeBlock)},
       {"--read-block", block(&o->readBlock)},
       {"--rate-mbps", pace(0, &o->rateMBps)},
       {"--dir",
        [&](const char* v) {
          o->dir = v;
          return !o->dir.empty();
        }},
       {"--cache", [&](const char* v) { return ParseCache(v, &o->cache); }}},
      2, [&]() -> std::string {
        if (stdinGiven != stdoutGiven) return "--stdin and --stdout go together";
        o->pipe = stdinGiven;
        if (o->pipe && paceGiven)
          return "--seconds and --rate-mbps do not apply to a pipe stage: it runs until standard input ends";
        const uint64_t size = uint64_t{o->sizeKB} * 1024;
        if (o->writeBlock > size || o->readBlock > size)
          return "--write-block and --read-block must not exceed the buffer size";
        if (o->file && o->readBlock >= uint64_t{o->cache.outputCacheKB} * 1024)
          return "--read-block must be smaller than the output cache";
        return {};
      });
}

double Seconds(int64_t from, int64_t to) {
  return static_cast<double>(to - from) / static_cast<double>(port::PerformanceFrequency());
}

// This machine's single-thread memcpy bandwidth: one block of at least 64 MiB (more than the
// caches hold) copied into another, repeatedly for about half a second.
double MeasureMemcpy(size_t bufferBytes) {
  const size_t bytes = std::max<size_t>(bufferBytes, size_t{64} << 20);
  std::vector<uint8_t> source(bytes, 1);
  std::vector<uint8_t> dest(bytes, 0);
  uint64_t copied = 0;
  const int64_t start = port::PerformanceCounter();
  int64_t now = start;
  while (copied == 0 || Seconds(start, now) < 0.5) {
    std::memcpy(dest.data(), source.data(), bytes);
    copied += bytes;
    now = port::PerformanceCounter();
  }
  volatile uint8_t sink = dest[bytes / 2];  // keeps the copies
  (void)sink;
  return static_cast<double>(copied) / Seconds(start, now) / 1e6;
}

// The buffer under test, started as a host starts it: the file buffer with its caches and
// workers, or the memory ring buffer. Threads: the main thread starts it and ends it, the
// writer thread calls Room and Idle, the reader thread Idle.
class Ring {
 public:
  explicit Ring(const Options& o) : o_(o) {}
  Ring(const Ring&) = delete;
  Ring& operator=(const Ring&) = delete;
  ~Ring() {
    if (file_) file_->Stop();
    if (buffer_) buffer_->Close();
  }

  // Prints why the buffer cannot start.
  bool Start() {
    BSTR dir = port::NarrowToBstr(o_.dir.c_str());
    BSTR name = port::NarrowToBstr("ovts-ringbench.bin");
    TSBufferConfig config{dir, name, o_.sizeKB, 128, TS_INITIAL_TIME_SHIFT_DEFAULT, DeleteOnClose};
    HRESULT hr;
    if (o_.file) {
      auto file = std::make_unique<CCircFileBuf>();
      file_ = file.get();
      buffer_ = std::move(file);
      hr = buffer_->SetConfig(&config);
      if (SUCCEEDED(hr)) hr = buffer_->SetCacheConfig(&o_.cache);
      if (SUCCEEDED(hr)) hr = buffer_->Start();
    } else {
      buffer_ = std::make_unique<CCircMemBuf>("Bench");
      hr = buffer_->SetConfig(&config);
      if (SUCCEEDED(hr)) hr = buffer_->Open();
    }
    port::FreeString(dir);
    port::FreeString(name);
    if (SUCCEEDED(hr)) return true;
    std::fprintf(stderr, "ovts-ringbench: cannot start the %s buffer in %s: 0x%08" PRIX32 "\n",
                 o_.file ? "file" : "memory", o_.dir.c_str(), static_cast<uint32_t>(hr));
    return false;
  }

  CCircBufBase& buffer() { return *buffer_; }
  // Bytes the file buffer dropped because the disk fell behind (0 for the memory buffer).
  uint64_t Dropped() const { return file_ ? file_->GetDroppedBytes() : 0; }

  // What the writer may write without overwriting unread bytes. In the file buffer the bytes
  // waiting in the write cache, and the chunk the write worker may be carrying to the file, are
  // counted nowhere else; and a block as large as the cache would go straight to the file, ahead
  // of the bytes still in the cache.
  uint32_t Room() {
    if (!file_) return buffer_->GetFreeSpace();
    CCircMemBuf& cache = file_->writeCache();
    const int64_t pending = cache.GetUnreadBytes();
    const int64_t inFlight = int64_t{o_.cache.inputChunkKB} * 1024;
    const int64_t fileRoom = buffer_->GetBufferSize() - int64_t{buffer_->GetUnreadBytes()} - pending - inFlight;
    const int64_t cacheRoom = std::min<int64_t>(cache.GetFreeSpace(), cache.GetBufferSize() - 1);
    return static_cast<uint32_t>(std::clamp<int64_t>(fileRoom, 0, std::max<int64_t>(cacheRoom, 0)));
  }

  // Waiting costs a yield on the memory buffer; the file buffer's workers need the processor.
  void Idle() const { file_ ? port::SleepMs(1) : port::YieldThread(); }

 private:
  const Options& o_;
  std::unique_ptr<CCircBufBase> buffer_;
  CCircFileBuf* file_ = nullptr;  // buffer_ when it is the file buffer
};

struct Run {
  std::atomic<bool> stop{false};
  uint64_t written = 0;  // writer thread
  uint64_t read = 0;     // reader thread
  HRESULT writeError = S_OK;
  HRESULT readError = S_OK;
  tools::PatternChecker checker;  // reader thread
};

// The writer writes the pattern at the pace asked for, the reader checks it, for --seconds.
int Bench(const Options& o) {
  const double memcpyMBps = MeasureMemcpy(size_t{o.sizeKB} * 1024);
  Ring ring(o);
  if (!ring.Start()) return 1;
  CCircBufBase& b = ring.buffer();

  // At a pace the writer sleeps until its next block is due, and a reader that found nothing
  // sleeps for about one read block's worth, so that cpu_pct is the buffer's and not this
  // program's polling.
  const double bytesPerSecond = o.rateMBps * 1e6;
  auto readerIdle = [&] {
    if (bytesPerSecond <= 0) return ring.Idle();
    port::SleepMs(static_cast<uint32_t>(std::clamp(1000 * o.readBlock / bytesPerSecond, 1.0, 100.0)));
  };

  Run run;
  const double cpuStart = tools::ProcessCpuSeconds();
  const int64_t start = port::PerformanceCounter();
  std::thread writer([&] {
    std::vector<uint8_t> block(o.writeBlock);
    while (!run.stop) {
      uint32_t n = o.writeBlock;
      const double early = static_cast<double>(run.written + n) / bytesPerSecond -
                           Seconds(start, port::PerformanceCounter());
      if (bytesPerSecond > 0 && early > 0) {
        port::SleepMs(static_cast<uint32_t>(std::clamp(1000 * early, 1.0, 100.0)));
        continue;
      }
      if (o.lossless) n = std::min(n, ring.Room());
      if (n == 0) {
        ring.Idle();
        continue;
      }
      tools::FillPattern(block.data(), run.written, n);
      uint32_t written = 0;
      const HRESULT result = b.Write(block.data(), n, &written);
      if (FAILED(result)) {
        run.writeError = result;
        break;
      }
      // A live source does not send a block again when the buffer dropped it: the stream goes
      // on, and the reader sees (and counts) the marked gap.
      run.written += o.lossless ? written : n;
    }
  });
  std::thread reader([&] {
    std::vector<uint8_t> block(o.readBlock);
    while (!run.stop) {
      uint32_t got = 0;
      bool discontinuity = false;
      const HRESULT result = b.Read(block.data(), o.readBlock, &got, &discontinuity);
      if (FAILED(result)) {
        run.readError = result;
        break;
      }
      if (got == 0) {
        readerIdle();
        continue;
      }
      run.checker.Feed(block.data(), got, discontinuity);
      run.read += got;
    }
  });
  while (Seconds(start, port::PerformanceCounter()) < o.seconds) port::SleepMs(10);
  run.stop = true;
  const double seconds = Seconds(start, port::PerformanceCounter());
  const double cpuPct = 100 * (tools::ProcessCpuSeconds() - cpuStart) / seconds;
  writer.join();
  reader.join();
  run.checker.Finish();

  const auto& s = run.checker.stats();
  std::printf("buffer=%s written_bytes=%" PRIu64 " read_bytes=%" PRIu64 " lost_bytes=%" PRIu64
              " dropped_bytes=%" PRIu64 " corrupt_bytes=%" PRIu64 " discontinuities=%" PRIu64
              " seconds=%.3f write_MBps=%.1f read_MBps=%.1f memcpy_MBps=%.1f cpu_pct=%.2f\n",
              o.file ? "file" : "mem", run.written, run.read, s.lost, ring.Dropped(), s.corrupt, s.discontinuities,
              seconds,
              static_cast<double>(run.written) / seconds / 1e6, static_cast<double>(run.read) / seconds / 1e6,
              memcpyMBps, cpuPct);
  if (FAILED(run.writeError) || FAILED(run.readError)) {
    std::fprintf(stderr, "ovts-ringbench: %s failed: 0x%08" PRIX32 "\n",
                 FAILED(run.writeError) ? "Write" : "Read",
                 static_cast<uint32_t>(FAILED(run.writeError) ? run.writeError : run.readError));
    return 1;
  }
  return s.corrupt != 0 ? 1 : 0;
}

// Standard input and output as raw byte streams.
void BinaryStdio() {
#ifdef _WIN32
  _setmode(0, _O_BINARY);
  _setmode(1, _O_BINARY);
#endif
}

// Up to `length` bytes from standard input: 0 at its end, -1 on an error.
int64_t ReadStdin(void* dest, uint32_t length) {
#ifdef _WIN32
  return _read(0, dest, length);
#else
  for (;;) {
    const ssize_t n = read(0, dest, length);
    if (n >= 0 || errno != EINTR) return n;
  }
#endif
}

bool WriteStdout(const uint8_t* data, uint32_t length) {
  while (length > 0) {
#ifdef _WIN32
    const int64_t n = _write(1, data, length);
#else
    const ssize_t n = write(1, data, length);
    if (n < 0 && errno == EINTR) continue;
#endif
    if (n <= 0) return false;
    data += n;
    length -= static_cast<uint32_t>(n);
  }
  return true;
}

// How long the reader waits for bytes the buffer still holds after standard input ended before
// it gives up on them.
constexpr double kTailPatienceSeconds = 10;

struct Pipe {
  std::atomic<bool> failed{false};      // either side gave up; the other ends too
  std::atomic<bool> inputEnded{false};  // set by the writer after its last Write
  std::atomic<uint64_t> written{0};     // final once inputEnded is set
  uint64_t delivered = 0;               // reader thread
  uint64_t discontinuities = 0;         // reader thread
  std::string writerError;              // writer thread, read after join
  std::string readerError;              // reader thread, read after join
};

// Standard input through the buffer to standard output, losing nothing: the writer waits for
// room, the reader hands on every byte until standard input has ended and all of it is out.
int PipeStage(const Options& o) {
  BinaryStdio();
  Ring ring(o);
  if (!ring.Start()) return 1;
  CCircBufBase& b = ring.buffer();

  // Input may be slow to come, so both sides sleep rather than spin while they wait.
  auto idle = [] { port::SleepMs(1); };
  Pipe pipe;
  const double cpuStart = tools::ProcessCpuSeconds();
  const int64_t start = port::PerformanceCounter();
  std::thread writer([&] {
    std::vector<uint8_t> block(o.writeBlock);
    while (!pipe.failed) {
      const int64_t n = ReadStdin(block.data(), o.writeBlock);
      if (n < 0) {
        pipe.writerError = "cannot read standard input";
        pipe.failed = true;
        return;
      }
      if (n == 0) break;
      for (uint32_t done = 0; done < n && !pipe.failed;) {
        const uint32_t room = std::min(static_cast<uint32_t>(n) - done, ring.Room());
        if (room == 0) {
          idle();
          continue;
        }
        uint32_t put = 0;
        const HRESULT hr = b.Write(block.data() + done, room, &put);
        if (FAILED(hr)) {
          char text[64];
          std::snprintf(text, sizeof text, "Write failed: 0x%08" PRIX32, static_cast<uint32_t>(hr));
          pipe.writerError = text;
          pipe.failed = true;
          return;
        }
        done += put;
        pipe.written += put;
      }
    }
    b.SetEndOfStream();
    pipe.inputEnded = true;
  });
  std::thread reader([&] {
    std::vector<uint8_t> block(o.readBlock);
    int64_t waitingSince = 0;  // when the reader began waiting for the bytes after the input's end
    while (!pipe.failed) {
      // inputEnded before written: once it is set, written is the final count.
      const bool ended = pipe.inputEnded;
      const uint64_t left = pipe.written - pipe.delivered;
      if (ended && left == 0) return;
      // At the end ask only for what is left: a buffer serves a read it can fill completely.
      const uint32_t want = ended ? static_cast<uint32_t>(std::min<uint64_t>(o.readBlock, left)) : o.readBlock;
      uint32_t got = 0;
      bool discontinuity = false;
      const HRESULT hr = b.Read(block.data(), want, &got, &discontinuity);
      if (FAILED(hr)) {
        char text[64];
        std::snprintf(text, sizeof text, "Read failed: 0x%08" PRIX32, static_cast<uint32_t>(hr));
        pipe.readerError = text;
        pipe.failed = true;
        return;
      }
      if (got == 0) {
        const int64_t now = port::PerformanceCounter();
        if (!ended) {
        } else if (waitingSince == 0) {
          waitingSince = now;
        } else if (Seconds(waitingSince, now) > kTailPatienceSeconds) {
          pipe.readerError = "the buffer still holds " + std::to_string(left) +
                             " bytes after standard input ended and does not deliver them";
          pipe.failed = true;
          return;
        }
        idle();
        continue;
      }
      waitingSince = 0;
      if (discontinuity) ++pipe.discontinuities;
      if (!WriteStdout(block.data(), got)) {
        pipe.readerError = "cannot write standard output";
        pipe.failed = true;
        return;
      }
      pipe.delivered += got;
    }
  });
  writer.join();
  reader.join();
  const double seconds = Seconds(start, port::PerformanceCounter());
  const double cpuPct = 100 * (tools::ProcessCpuSeconds() - cpuStart) / seconds;

  std::fprintf(stderr,
               "buffer=%s bytes=%" PRIu64 " discontinuities=%" PRIu64 " seconds=%.3f MBps=%.1f cpu_pct=%.2f\n",
               o.file ? "file" : "mem", pipe.delivered, pipe.discontinuities, seconds,
               static_cast<double>(pipe.delivered) / seconds / 1e6, cpuPct);
  for (const std::string* error : {&pipe.writerError, &pipe.readerError}) {
    if (!error->empty()) std::fprintf(stderr, "ovts-ringbench: %s\n", error->c_str());
  }
  return pipe.failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const std::optional<int> end = ReadCommandLine(argc, argv, &options)) return *end;
  return options.pipe ? PipeStage(options) : Bench(options);
}
