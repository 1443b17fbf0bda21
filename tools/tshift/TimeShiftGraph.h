// The host's graph: the platform's Filter Graph Manager holding a source, the Orvanta Time Shift
// filter created from its registration, and the host's sink, connected source -> filter -> sink.
// Every graph state change runs under the watchdog. Also creates the filter alone, for the
// settings command.
//
// Threads: the host's main thread only.
#pragma once

#include <dshow.h>

#include <functional>
#include <string>

#include "framework/ComKit.h"
#include "include/OVTimeShift.h"
#include "tools/tshift/CStreamSink.h"
#include "tools/tshift/StatusFigures.h"

namespace ovts::tshift {

// The filter and its control interfaces, settings under registryBase + "\TShift" (an empty
// base keeps the filter's own key). The error text names the likely cause.
struct TimeShiftFilter {
  ComPtr<IBaseFilter> filter;
  ComPtr<IOVTimeShiftFilter> control;
  ComPtr<IKsPropertySet> properties;  // null when the filter offers none
  ComPtr<IOVTimeShiftTime> time;      // null when the filter cannot seek or save by seconds

  HRESULT Create(const std::string& registryBase, std::string* error);
  // The Buffer Status figures, the play state (-1 when the filter will not tell) and the time
  // figures (untimed when it will not tell).
  BufferStatus Status() const;
  // The play state through TSPROPERTY_PLAY_STATE, or -1.
  int PlayState() const;
  // A text of the Recording property set (the buffer file in use, or why the buffer refused to
  // start or stopped recording); empty when the filter will not tell.
  std::string RecordingText(TSRecordingPropertyId id) const;
};

// Where a run's stream comes from and where it goes.
struct RunPlan {
  std::function<HRESULT(ComPtr<IBaseFilter>*)> makeSource;
  std::string sourceProblem;              // said when makeSource fails ("cannot open in.ts")
  const wchar_t* sourceName = L"Source";  // in the graph
  std::string output;                     // "-" standard output (never a terminal), "" nowhere, else a new file
  DeliveryCheck* check = nullptr;         // told of every delivered sample; outlives the run
  uint64_t outputBytesPerSecond = 0;      // the sink's pace; 0: as fast as the output takes the bytes
};

// One run of the host: the graph with the filter, set up in the order every command needs, and
// stopped when the run ends however it ends. Each step returns its problem in one line, or an
// empty text.
class TimeShiftGraph {
 public:
  TimeShiftGraph() = default;
  ~TimeShiftGraph();
  TimeShiftGraph(const TimeShiftGraph&) = delete;
  TimeShiftGraph& operator=(const TimeShiftGraph&) = delete;

  // The graph and the filter with its settings under registryBase; settings (when given) stores
  // the session's own first. Then checks the buffer's place: *note tells of a buffer that will
  // come out smaller than configured.
  std::string Open(const std::string& registryBase, const std::function<HRESULT(IOVTimeShiftFilter*)>& settings,
                   std::string* note);
  // Opens the output, makes the sink and the source, and connects source -> filter -> sink.
  std::string Connect(const RunPlan& plan);
  // Pauses, then runs: a filter that refuses to start fails the Pause, which leaves the graph
  // clean (a graph whose Run failed cannot be released under Wine). A graph that will not run
  // is stopped, and the filter's reason given.
  std::string Run();
  std::string Stop();
  // The graph's next event, if one waits: its code (0 when none) and first parameter.
  long TakeEvent(LONG_PTR* param1);

  TimeShiftFilter& TimeShift() { return timeShift_; }
  IOVTimeShiftFilter* Control() const { return timeShift_.control.Get(); }
  CStreamSink& Sink() const { return *sink_.Get(); }
  // The size the buffer will have, as its folder allows.
  int64_t BufferBytes() const { return bufferBytes_; }

 private:
  // Every state change under the watchdog.
  HRESULT ChangeState(bool run);

  ComPtr<IGraphBuilder> graph_;
  ComPtr<IMediaControl> mediaControl_;
  ComPtr<IMediaEvent> events_;
  TimeShiftFilter timeShift_;
  ComPtr<CStreamSink> sink_;
  int64_t bufferBytes_ = 0;
  bool running_ = false;  // Run succeeded and Stop has not been called
};

}  // namespace ovts::tshift
