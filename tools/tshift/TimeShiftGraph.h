// The host's graph: the platform's Filter Graph Manager holding a source, the Orvanta Time Shift
// filter created from its registration, and a sink, connected source -> filter -> sink. Every
// graph state change runs under the watchdog. Also creates the filter alone, for the settings
// command.
//
// Threads: the host's main thread only.
#pragma once

#include <dshow.h>

#include <string>

#include "framework/ComKit.h"
#include "include/OVTimeShift.h"
#include "tools/tshift/StatusFigures.h"

namespace ovts::tshift {

// The filter and its two control interfaces, settings under registryBase + "\TShift" (an empty
// base keeps the filter's own key). The error text names the likely cause.
struct TimeShiftFilter {
  ComPtr<IBaseFilter> filter;
  ComPtr<IOVTimeShiftFilter> control;
  ComPtr<IKsPropertySet> properties;  // null when the filter offers none

  HRESULT Create(const std::string& registryBase, std::string* error);
  // The Buffer Status figures and the play state (-1 when the filter will not tell).
  BufferStatus Status() const;
  // The play state through TSPROPERTY_PLAY_STATE, or -1.
  int PlayState() const;
  // A text of the Recording property set (the buffer file in use, or why the buffer refused to
  // start or stopped recording); empty when the filter will not tell.
  std::string RecordingText(TSRecordingPropertyId id) const;
};

class TimeShiftGraph {
 public:
  HRESULT Create(const std::string& registryBase, std::string* error);

  // Adds source, filter and sink and connects them; error says which link failed.
  HRESULT Build(IBaseFilter* source, const wchar_t* sourceName, IBaseFilter* sink, std::string* error);
  // Adds a filter that the caller connects itself (a file source before Build).
  HRESULT Add(IBaseFilter* filter, const wchar_t* name);

  // Pauses, then runs: a filter that refuses to start fails the Pause, which leaves the graph
  // clean (a graph whose Run failed cannot be released under Wine).
  HRESULT Run();
  HRESULT Stop();
  // The graph's next event, if one waits: its code (0 when none) and first parameter.
  long TakeEvent(LONG_PTR* param1);

  TimeShiftFilter& TimeShift() { return timeShift_; }
  IOVTimeShiftFilter* Control() const { return timeShift_.control.Get(); }

 private:
  ComPtr<IGraphBuilder> graph_;
  ComPtr<IMediaControl> mediaControl_;
  ComPtr<IMediaEvent> events_;
  TimeShiftFilter timeShift_;
};

// The first pin of a filter with the given direction, or null.
ComPtr<IPin> FindPin(IBaseFilter* filter, PIN_DIRECTION direction);

}  // namespace ovts::tshift
