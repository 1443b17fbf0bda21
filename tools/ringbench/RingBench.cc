// ovts-ringbench: drives one time-shift buffer with a writer thread and a reader thread and
// prints one line of key=value figures. The writer writes the stream pattern, the reader checks
// every byte of it, so the line also says what was lost or damaged on the way.
#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "buffer/CCircFileBuf.h"
#include "buffer/CCircMemBuf.h"
#include "platform/Platform.h"
#include "tools/common/StreamPattern.h"

namespace {

using namespace ovts;

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
    "  --help                this text\n"
    "Prints: buffer= written_bytes= read_bytes= lost_bytes= corrupt_bytes= discontinuities= seconds=\n"
    "write_MBps= read_MBps= memcpy_MBps= (MB = 10^6 bytes; memcpy_MBps is one thread copying a\n"
    "block of at least 64 MiB, more than the caches hold, into another, measured in the same run).\n"
    "Exit status: 0, 1 when bytes arrived corrupt or the buffer failed, 2 for a bad option.\n";

struct Options {
  bool file = false;
  uint32_t sizeKB = 32768;
  double seconds = 5;
  uint32_t writeBlock = 32768;
  uint32_t readBlock = 32768;
  double rateMBps = 0;
  std::string dir = "C:\\";
  TSCacheConfig cache{4096, 4096, 0, 1024, 128, 75};
  bool lossless = false;
};

bool ParseUnsigned(const char* text, uint64_t max, uint32_t* out) {
  char* end = nullptr;
  if (!text || !*text || *text == '-') return false;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (*end || value > max) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

bool ParseNumber(const char* text, double min, double* out) {
  char* end = nullptr;
  if (!text || !*text) return false;
  const double value = std::strtod(text, &end);
  if (*end || !(value >= min) || value > 1e9) return false;
  *out = value;
  return true;
}

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

// Fills `o`; on a bad option returns false with `error` set. `help` asks for the usage text.
bool ParseOptions(int argc, char** argv, Options* o, bool* help, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help") {
      *help = true;
      return true;
    }
    if (name == "--lossless") {
      o->lossless = true;
      continue;
    }
    static const char* const kValued[] = {"--buffer",     "--size-kb",   "--seconds", "--write-block",
                                          "--read-block", "--rate-mbps", "--dir",     "--cache"};
    if (std::none_of(std::begin(kValued), std::end(kValued),
                     [&](const char* known) { return name == known; })) {
      *error = "unknown option " + name;
      return false;
    }
    const char* value = i + 1 < argc ? argv[++i] : nullptr;
    bool ok = value != nullptr;
    if (!ok) {
    } else if (name == "--buffer") {
      ok = !std::strcmp(value, "mem") || !std::strcmp(value, "file");
      o->file = ok && !std::strcmp(value, "file");
    } else if (name == "--size-kb") {
      ok = ParseUnsigned(value, 4194303, &o->sizeKB) && o->sizeKB > 0;
    } else if (name == "--seconds") {
      ok = ParseNumber(value, 0.001, &o->seconds);
    } else if (name == "--write-block") {
      ok = ParseUnsigned(value, 1u << 30, &o->writeBlock) && o->writeBlock > 0;
    } else if (name == "--read-block") {
      ok = ParseUnsigned(value, 1u << 30, &o->readBlock) && o->readBlock > 0;
    } else if (name == "--rate-mbps") {
      ok = ParseNumber(value, 0, &o->rateMBps);
    } else if (name == "--dir") {
      o->dir = value;
      ok = !o->dir.empty();
    } else {
      ok = ParseCache(value, &o->cache);
    }
    if (!ok) {
      *error = value ? "bad value for " + name + ": " + value : "missing value for " + name;
      return false;
    }
  }
  const uint64_t size = uint64_t{o->sizeKB} * 1024;
  if (o->writeBlock > size || o->readBlock > size) {
    *error = "--write-block and --read-block must not exceed the buffer size";
    return false;
  }
  if (o->file && o->readBlock >= uint64_t{o->cache.outputCacheKB} * 1024) {
    *error = "--read-block must be smaller than the output cache";
    return false;
  }
  return true;
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

struct Run {
  std::atomic<bool> stop{false};
  uint64_t written = 0;  // writer thread
  uint64_t read = 0;     // reader thread
  HRESULT writeError = S_OK;
  HRESULT readError = S_OK;
  tools::PatternChecker checker;  // reader thread
};

int Bench(const Options& o) {
  const double memcpyMBps = MeasureMemcpy(size_t{o.sizeKB} * 1024);

  std::unique_ptr<CCircBufBase> buffer;
  CCircFileBuf* fileBuffer = nullptr;
  BSTR dir = port::NarrowToBstr(o.dir.c_str());
  BSTR name = port::NarrowToBstr("ovts-ringbench.bin");
  TSBufferConfig config{dir, name, o.sizeKB, 128, 524288, DeleteOnClose};
  HRESULT hr;
  if (o.file) {
    auto file = std::make_unique<CCircFileBuf>();
    fileBuffer = file.get();
    buffer = std::move(file);
    hr = buffer->SetConfig(&config);
    if (SUCCEEDED(hr)) hr = buffer->SetCacheConfig(&o.cache);
    if (SUCCEEDED(hr)) hr = buffer->Start();
  } else {
    buffer = std::make_unique<CCircMemBuf>("Bench");
    hr = buffer->SetConfig(&config);
    if (SUCCEEDED(hr)) hr = buffer->Open();
  }
  port::FreeString(dir);
  port::FreeString(name);
  if (FAILED(hr)) {
    std::fprintf(stderr, "ovts-ringbench: cannot start the %s buffer in %s: 0x%08" PRIX32 "\n",
                 o.file ? "file" : "memory", o.dir.c_str(), static_cast<uint32_t>(hr));
    return 1;
  }
  CCircBufBase& b = *buffer;

  // What the writer may write without overwriting unread bytes. In the file buffer the bytes
  // waiting in the write cache, and the chunk the write worker may be carrying to the file, are
  // counted nowhere else.
  const int64_t inFlight = int64_t{o.cache.inputChunkKB} * 1024;
  auto room = [&]() -> uint32_t {
    if (!fileBuffer) return b.GetFreeSpace();
    CCircMemBuf& cache = fileBuffer->writeCache();
    const int64_t pending = cache.GetUnreadBytes();
    const int64_t fileRoom = b.GetBufferSize() - int64_t{b.GetUnreadBytes()} - pending - inFlight;
    return static_cast<uint32_t>(std::clamp<int64_t>(fileRoom, 0, cache.GetFreeSpace()));
  };
  // Waiting costs a yield on the memory buffer; the file buffer's workers need the processor.
  auto idle = [&] { o.file ? port::SleepMs(1) : port::YieldThread(); };

  Run run;
  const int64_t start = port::PerformanceCounter();
  std::thread writer([&] {
    std::vector<uint8_t> block(o.writeBlock);
    const double bytesPerSecond = o.rateMBps * 1e6;
    while (!run.stop) {
      uint32_t n = o.writeBlock;
      if (bytesPerSecond > 0 && static_cast<double>(run.written + n) >
                                    bytesPerSecond * Seconds(start, port::PerformanceCounter())) {
        port::SleepMs(1);
        continue;
      }
      if (o.lossless) n = std::min(n, room());
      if (n == 0) {
        idle();
        continue;
      }
      tools::FillPattern(block.data(), run.written, n);
      uint32_t written = 0;
      const HRESULT result = b.Write(block.data(), n, &written);
      if (FAILED(result)) {
        run.writeError = result;
        break;
      }
      run.written += written;
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
        idle();
        continue;
      }
      run.checker.Feed(block.data(), got, discontinuity);
      run.read += got;
    }
  });
  while (Seconds(start, port::PerformanceCounter()) < o.seconds) port::SleepMs(10);
  run.stop = true;
  const double seconds = Seconds(start, port::PerformanceCounter());
  writer.join();
  reader.join();
  run.checker.Finish();
  if (fileBuffer) fileBuffer->Stop();
  b.Close();

  const auto& s = run.checker.stats();
  std::printf("buffer=%s written_bytes=%" PRIu64 " read_bytes=%" PRIu64 " lost_bytes=%" PRIu64
              " corrupt_bytes=%" PRIu64 " discontinuities=%" PRIu64
              " seconds=%.3f write_MBps=%.1f read_MBps=%.1f memcpy_MBps=%.1f\n",
              o.file ? "file" : "mem", run.written, run.read, s.lost, s.corrupt, s.discontinuities, seconds,
              static_cast<double>(run.written) / seconds / 1e6, static_cast<double>(run.read) / seconds / 1e6,
              memcpyMBps);
  if (FAILED(run.writeError) || FAILED(run.readError)) {
    std::fprintf(stderr, "ovts-ringbench: %s failed: 0x%08" PRIX32 "\n",
                 FAILED(run.writeError) ? "Write" : "Read",
                 static_cast<uint32_t>(FAILED(run.writeError) ? run.writeError : run.readError));
    return 1;
  }
  return s.corrupt != 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool help = false;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &help, &error)) {
    std::fprintf(stderr, "ovts-ringbench: %s (see --help)\n", error.c_str());
    return 2;
  }
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  return Bench(options);
}
