// The host's property frame (COVPropertySheet, which applies what OK and Apply confirm) over an
// object's pages, opened on a thread of its own. The frame is modal to that thread only, so the
// host's thread goes on steering the graph while a person watches the Status page and changes
// settings.
//
// Threads: Open, Window, Close and the destructor on one host thread; the frame thread (an OLE
// single-threaded apartment) runs the frame and its pages. The frame thread calls the object
// without marshalling: the filter takes calls on any thread and its pages run in-process.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <string>

#include "framework/ComKit.h"

namespace ovts::tshift {

class CTSPropertyFrame {
 public:
  CTSPropertyFrame() = default;
  ~CTSPropertyFrame() { Close(); }
  CTSPropertyFrame(const CTSPropertyFrame&) = delete;
  CTSPropertyFrame& operator=(const CTSPropertyFrame&) = delete;

  // Opens the frame on the pages the object lists (ISpecifyPropertyPages), under the caption.
  // E_NOINTERFACE when the object lists no pages; E_UNEXPECTED while a frame is open.
  HRESULT Open(IUnknown* object, const wchar_t* caption);
  // Signalled once the frame has closed, by the person or by Close; null before Open.
  HANDLE Closed() const { return thread_.get(); }
  // The frame's window while it is shown, else null.
  HWND Window() const;
  // The frame's window once it is shown; null when the frame closed or the limit passed.
  HWND WaitForWindow(DWORD limitMs) const;
  // Brings page `index` (from 0, in the object's order) to the front and paints it; its tab's
  // title goes to title. E_INVALIDARG for a page the frame does not have, E_UNEXPECTED while
  // no frame is shown.
  HRESULT ShowPage(int index, std::wstring* title) const;
  // Cancels the frame as its Cancel button would, and waits for its thread.
  void Close();
  // What the frame's run returned; meaningful once Closed is signalled.
  HRESULT Result() const { return result_; }

 private:
  static DWORD WINAPI FrameThread(void* self);

  ComPtr<IUnknown> object_;   // frame thread while it runs; host thread otherwise
  std::wstring caption_;
  CAUUID pages_{};            // task memory, freed by the frame thread
  UniqueHandle thread_;
  DWORD threadId_ = 0;
  HRESULT result_ = S_OK;     // written by the frame thread before it ends
};

}  // namespace ovts::tshift
