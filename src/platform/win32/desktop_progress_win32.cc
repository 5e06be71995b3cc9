// Progress in the shell's own progress window (IProgressDialog). The window
// runs on a thread the shell starts for it, so nothing here needs a message
// loop; this backend drives it from the progress thread, which has its own
// single-threaded COM apartment. No Cancel button: nothing may cut an upload.
#include <windows.h>
#include <objbase.h>
#include <shlguid.h>
#include <shlobj.h>

#include <string>

#include "platform/desktop_progress_view.h"
#include "platform/win32/utf8_win32.h"

namespace plat {

struct DesktopProgressShown {
  IProgressDialog* dialog = nullptr;
  bool comReady = false;
  bool started = false;
};

namespace {

// The texts are UTF-8 (platform/language.h).

}  // namespace

DesktopProgressShown* OpenDesktopProgress() {
  DesktopProgressShown* shown = new DesktopProgressShown;
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  shown->comReady = SUCCEEDED(hr);
  if (shown->comReady) {
    hr = CoCreateInstance(CLSID_ProgressDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IProgressDialog,
                          reinterpret_cast<void**>(&shown->dialog));
  }
  if (!shown->comReady || FAILED(hr) || !shown->dialog) {
    shown->dialog = nullptr;
    CloseDesktopProgress(shown);
    return nullptr;
  }
  return shown;
}

bool ShowDesktopProgress(DesktopProgressShown* shown, const DesktopProgressView& view) {
  IProgressDialog* dialog = shown->dialog;
  if (!shown->started) {
    if (FAILED(dialog->SetTitle(Wide(view.title).c_str()))) return false;
    if (FAILED(dialog->StartProgressDialog(nullptr, nullptr, PROGDLG_NORMAL | PROGDLG_NOCANCEL | PROGDLG_NOMINIMIZE | PROGDLG_NOTIME,
                                           nullptr))) {
      return false;
    }
    shown->started = true;
  }
  // The window's lines don't wrap: the first sentence on the first line, the
  // rest on the second.
  size_t cut = view.text.find(". ");
  std::string first = cut == std::string::npos ? view.text : view.text.substr(0, cut + 1);
  std::string rest = cut == std::string::npos ? std::string() : view.text.substr(cut + 2);
  bool ok = SUCCEEDED(dialog->SetLine(1, Wide(first).c_str(), FALSE, nullptr));
  ok = SUCCEEDED(dialog->SetLine(2, Wide(rest).c_str(), FALSE, nullptr)) && ok;
  // A full bar says the robot has the image: a failure shows an empty one,
  // even when every byte went out before the robot fell silent.
  DWORD bar = static_cast<DWORD>(view.percent);
  if (view.ended) bar = view.failed ? 0 : 100;
  ok = SUCCEEDED(dialog->SetProgress(bar, 100)) && ok;
  return ok;
}

void CloseDesktopProgress(DesktopProgressShown* shown) {
  if (shown->dialog) {
    if (shown->started) shown->dialog->StopProgressDialog();
    shown->dialog->Release();
  }
  if (shown->comReady) CoUninitialize();
  delete shown;
}

}  // namespace plat
