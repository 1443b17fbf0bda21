// The time-shift filter. Every byte that reaches the input pin goes into the file ring buffer;
// the output pin's streaming thread fills its samples from the buffer at the play position, so
// the host can pause, seek, flush and jump back near live while recording goes on. The graph
// drives it through IBaseFilter (Stop, Pause and Run are this class's), the host through the
// IOVTimeShiftFilter sub-object (CTSControl), the IKsPropertySet sub-object (CTSPropertySet),
// IOVTSInstrumentation, the IOVTimeShiftTime sub-object (CTSTimeControl: seeks by the stream's
// time and exports through CTSExporter), and ISpecifyPropertyPages, which names the four pages. With
// pass-through on, samples and end of stream go from the input straight to the downstream pin
// on the upstream thread, and the buffer stays stopped.
//
// Threads: the graph's and host's threads (state changes, connection work, control interface);
// the upstream delivery thread or the pull reader's worker (WriteSample, EndOfStream, flushes);
// the output pin's streaming thread (ReadSample); the buffer's two workers inside the buffer.
//
// Locks (order where they are declared): the streaming threads never take the state lock. The
// holders of the other two may wait for a streaming thread: host Pause, seeks and Stop command
// the output thread while they hold the playback lock, and Stop and BeginFlush end the pull
// thread while they hold the receive lock. So a streaming thread takes those two only through
// StreamingHold, which gives up when the holder may be waiting for that very thread.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <atomic>
#include <cstdint>

#include "OVTimeShift.h"
#include "buffer/CCircFileBuf.h"
#include "buffer/CTSExporter.h"
#include "filter/CTSControl.h"
#include "filter/CTSPropertySet.h"
#include "filter/CTSTimeControl.h"
#include "framework/CSource.h"
#include "pins/ITSPinOwner.h"

namespace ovts {

class CTSInputPin;
class CTSOutputPushPin;

class CTSFilter : public CSource,
                  public ISpecifyPropertyPages,
                  public IOVTSInstrumentation,
                  public ITSPinOwner,
                  private CCircFileBuf::Listener {
 public:
  // The class factory's creation function: a new filter (no reference yet) aggregated by outer,
  // or null with E_OUTOFMEMORY in result.
  static CUnknown* WINAPI CreateInstance(IUnknown* outer, HRESULT* result);

  explicit CTSFilter(IUnknown* outer) noexcept;
  ~CTSFilter() override;

  DECLARE_IUNKNOWN
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** result) override;

  // ISpecifyPropertyPages: General, Buffer Status, Cache, Instrumentation.
  HRESULT STDMETHODCALLTYPE GetPages(CAUUID* pages) override;
  // IOVTSInstrumentation
  HRESULT STDMETHODCALLTYPE GetInstrumentation(TSInstrumentationSettings* settings) override;
  // Also turns the buffer's slow-call reports on for good, whatever the flags.
  HRESULT STDMETHODCALLTYPE SetInstrumentation(const TSInstrumentationSettings* settings) override;

  // Always 2; the first GetPin of any index creates both pins.
  int GetPinCount() override;
  CBasePin* GetPin(int n) override;
  // Creates the pins first, so that a pin enumerator made on a new filter starts in sync.
  LONG GetPinVersion() override;
  // Begins and ends a flush downstream under the playback lock: downstream drops what it holds.
  virtual HRESULT FlushDownstream();

  // IMediaFilter
  HRESULT STDMETHODCALLTYPE Stop() override;
  HRESULT STDMETHODCALLTYPE Pause() override;
  HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME start) override;
  // IBaseFilter: exactly the identifiers the pins report ("Stream In" and "1").
  HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR id, IPin** pin) override;

  // ITSPinOwner: the pins' view of the filter.
  HRESULT WriteSample(IMediaSample* sample) override;
  HRESULT ReadSample(IMediaSample* sample) override;
  // The input has ended: the buffer delivers what it holds, then the output ends the stream.
  HRESULT EndOfStream() override;
  // The input goes on after an upstream flush: its end no longer stands.
  HRESULT ClearEndOfStream() override;
  void MarkDiscontinuity() noexcept override { discontinuityPending_.store(1); }
  HRESULT BeginFlushDownstream() override;
  HRESULT EndFlushDownstream() override;
  HRESULT CheckConnectionType(const AM_MEDIA_TYPE* type, bool fromOutput) override;
  HRESULT SetOutputTypeIndex(const AM_MEDIA_TYPE* type) override;
  // Hands the registry settings to the buffer for its next start.
  HRESULT ApplySettings();

  uint32_t PlayState() const noexcept { return playState_.load(); }
  bool PassThrough() const noexcept override { return passThrough_.load() != 0; }
  // Switches the buffer out of the stream or back in. While Running, switching on stops the
  // buffer and flushes downstream; switching off restarts the buffer and the output, and when
  // that fails pass-through stays on and the failure is returned. The value it already has
  // changes nothing (a second "off" must not empty the buffer). Takes the state lock.
  HRESULT SetPassThrough(bool on);
  TSInstrumentationSettings InstrumentationSettings() const noexcept;
  // Stores the switches and thresholds the sample paths read at each call.
  void SetInstrumentationSettings(const TSInstrumentationSettings& settings) noexcept;

  // Host playback control (IOVTimeShiftFilter, the Status page). Any host thread. FlushPlayback
  // takes the playback then the receive lock; PausePlayback (also inside the seeks) takes the
  // playback lock and commands a streaming output thread under it; ResumePlayback takes none.
  // SetPlayPosition: mode 2 relative, any other absolute; at most one accepted call a second.
  HRESULT SetPlayPosition(int64_t position, int32_t mode);
  HRESULT FlushPlayback();
  HRESULT PausePlayback();
  HRESULT ResumePlayback();
  // One read cache's size behind the live edge.
  HRESULT SeekToLive();
  // `seconds` of the stream's time from live or from the play position, as SetPlayPosition
  // (and one accepted call a second with it): S_FALSE when refused for that; E_PENDING while the
  // stream cannot be timed; VFW_E_WRONG_STATE while the buffer is not running.
  enum class TimeReference { kLive, kPlay };
  HRESULT SeekToTime(TimeReference from, double seconds);

  CTSControl& Control() noexcept { return control_; }
  CCircFileBuf& Buffer() noexcept { return buffer_; }
  CTSExporter& Exporter() noexcept { return exporter_; }
  // The buffer runs and takes the input (not passed through).
  bool Buffering() const noexcept { return passThrough_.load() == 0 && buffer_.IsRunning(); }
  port::WaitableLock& PlaybackLock() noexcept { return playbackLock_; }
  port::WaitableLock& ReceiveLock() noexcept override { return receiveLock_; }
  // Signalled for bytes in the read cache, the end of the stream, playback resumed, a flush ended.
  port::Event& OutputWake() noexcept override { return outputWake_; }
  CTSInputPin* InputPin() const noexcept override { return inputPin_.load(); }
  CTSOutputPushPin* OutputPin() const noexcept override { return outputPin_.load(); }

 protected:
  // Told on a streaming thread that found the playback or receive lock held, before it waits.
  virtual void OnLockContended(port::WaitableLock& lock);

  // The buffer's outages go to the graph's event sink (write worker, no lock of ours held).
  void OnRecordingFault(HRESULT hr) override;
  void OnRecordingResumed() override;
  void OnReadable() override { outputWake_.Set(); }

 private:
  class StreamingHold;
  using Abandoned = bool (CTSFilter::*)();
  using AbandonEvent = port::Event& (CTSFilter::*)();

  // Whether the output thread should give up waiting for the playback lock (output thread).
  bool OutputAbandoned();
  // Whether the pull thread should give up waiting for the receive lock (pull thread).
  bool PullAbandoned();
  // The event whose signal tells a waiting streaming thread that its lock's holder may be
  // waiting for it: its command event.
  port::Event& OutputAbandonEvent();
  port::Event& PullAbandonEvent();
  // Both pins, or neither. Caller holds the state lock.
  bool CreatePins();
  // The playback state becomes TSSTATE_PLAYING and the buffer's read side goes on with it (a
  // host pause would otherwise outlive a graph stop or pause).
  void SetPlaying();
  // A command to the output thread; without a thread it fails quietly.
  void SendOutputCommand(DWORD command);
  // Pass-through being switched off while Running: the buffer starts again and the output
  // delivers from it. Caller holds the state lock.
  HRESULT ResumeFromBuffer();
  // Configures and starts the buffer unless it runs; playback then plays. Caller holds the
  // state lock.
  HRESULT StartBuffer();
  // Stops the buffer, and waits for an export, which ends with it, to let go of the file.
  void StopBuffer();
  // The one host seek: downstream flushed and the output paused around `seek`, which runs under
  // the playback lock; at most one accepted call a second (S_FALSE, nothing done, otherwise).
  template <class Seek>
  HRESULT MovePlayPosition(Seek seek);
  // Reads the counter when `on`, for a sample path's timing.
  int64_t TimingStart(bool on) const;
  // Microseconds since `start` exceed `thresholdUs` (signed) and the buffer reports slow calls.
  bool SlowCall(int64_t start, uint32_t thresholdUs) const;
  // Formats a slow call's timing record and shows it to the debugger.
  static void ReportSlowCall(TSInstrumentationRecord& record);

  std::atomic<CTSInputPin*> inputPin_{nullptr};        // atomic; set once by the first GetPin
  std::atomic<CTSOutputPushPin*> outputPin_{nullptr};  // atomic; set once by the first GetPin
  // Lock order: the state lock (CSource's, shared with the pins) -> playbackLock_ ->
  // receiveLock_ -> CTSControl's key path lock -> the exporter's lock -> the buffer's own locks.
  // buffer reads, seeks, host pause, flushes downstream
  port::WaitableLock playbackLock_{port::LockRank::kPlayback, "playback"};
  // buffer writes, flush, input flushes
  port::WaitableLock receiveLock_{port::LockRank::kReceive, "receive"};
  port::Event outputWake_{port::Event::Mode::kAutoReset};
  CCircFileBuf buffer_;               // its own locks
  CTSExporter exporter_{buffer_};     // its own lock, after receiveLock_; ends before buffer_ goes
  std::atomic<uint32_t> playState_{TSSTATE_IDLE};    // atomic
  std::atomic<int32_t> flushing_{0};                 // atomic; 1 between Begin/EndFlushDownstream
  std::atomic<uint32_t> flushCount_{0};              // atomic; BeginFlushDownstream calls so far
  // The flushCount_ at which the output last sent end of stream, so that it sends it once until
  // downstream is flushed (a renderer forgets the end of stream then).
  uint32_t endSentAtFlush_ = UINT32_MAX;             // output streaming thread
  std::atomic<int32_t> discontinuityPending_{0};     // atomic; the next delivered sample is marked
  std::atomic<int32_t> stopping_{0};                 // atomic; Stops under way
  std::atomic<int32_t> passThrough_{0};              // atomic; changed under the state lock
  std::atomic<int64_t> lastSeekTime_{0};             // atomic; system time of the last accepted seek
  CTSControl control_;
  CTSPropertySet propertySet_;
  CTSTimeControl timeControl_;
  const int64_t ticksPerMicrosecond_;  // performance-counter ticks, at least 1
  // Instrumentation switches and thresholds; each read once per sample.
  std::atomic<uint32_t> instFlags_{0};          // atomic
  std::atomic<uint32_t> instInputInterUs_{750};   // atomic
  std::atomic<uint32_t> instInputIntraUs_{1500};  // atomic
  std::atomic<uint32_t> instOutputInterUs_{1000};  // atomic
  std::atomic<uint32_t> instOutputIntraUs_{5000};  // atomic
};

}  // namespace ovts
