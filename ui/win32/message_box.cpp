#include "ui/win32/message_box.h"

#include <commctrl.h>

#include "win32/wide_text.h"

namespace torv2::win32 {
namespace {

using TaskDialogIndirectEntry = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);

// TaskDialogIndirect exists only in comctl32 version 6; looked up rather than linked, so the
// program still starts where an older comctl32 is all there is.
TaskDialogIndirectEntry TaskDialogEntry() {
  static const TaskDialogIndirectEntry entry = []() -> TaskDialogIndirectEntry {
    const HMODULE comctl = GetModuleHandleW(L"comctl32.dll");
    if (comctl == nullptr) return nullptr;
    const FARPROC proc = GetProcAddress(comctl, "TaskDialogIndirect");
    return reinterpret_cast<TaskDialogIndirectEntry>(reinterpret_cast<void*>(proc));
  }();
  return entry;
}

struct CallbackData {
  const MessageShown* shown;
  ShownMessage message;
};

HRESULT CALLBACK TaskDialogCallback(HWND, UINT notification, WPARAM, LPARAM, LONG_PTR data) {
  if (notification == TDN_CREATED) {
    const auto* d = reinterpret_cast<const CallbackData*>(data);
    if (d->shown != nullptr && *d->shown) (*d->shown)(d->message);
  }
  return S_OK;
}

}  // namespace

std::wstring PlainBoxText(std::string_view text, std::string_view details) {
  std::wstring whole = WideFromUtf8(text);
  if (!details.empty()) {
    whole += L"\r\n\r\n";
    // A message box breaks lines at "\r\n" as at "\n"; the details come with "\n".
    for (const wchar_t c : WideFromUtf8(details)) {
      if (c == L'\n') whole += L'\r';
      whole += c;
    }
  }
  return whole;
}

void ShowMessageBox(HWND owner, const MessageBoxRequest& request, const MessageShown& shown) {
  const std::wstring caption = WideFromUtf8(request.caption);
  const TaskDialogIndirectEntry taskDialog = request.allowTaskDialog ? TaskDialogEntry() : nullptr;
  if (taskDialog != nullptr) {
    CallbackData data{&shown, {true, WideFromUtf8(request.text), WideFromUtf8(request.details)}};
    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof config;
    config.hwndParent = owner;
    // WM_CLOSE (the window ending) closes it as the OK button would.
    config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION;
    config.dwCommonButtons = TDCBF_OK_BUTTON;
    config.pszWindowTitle = caption.c_str();
    if (request.exclamation) config.pszMainIcon = TD_WARNING_ICON;
    config.pszContent = data.message.text.c_str();
    if (!data.message.details.empty()) {
      config.pszExpandedInformation = data.message.details.c_str();
      config.pszCollapsedControlText = L"Show details";
      config.pszExpandedControlText = L"Hide details";
    }
    config.pfCallback = &TaskDialogCallback;
    config.lpCallbackData = reinterpret_cast<LONG_PTR>(&data);
    int button = 0;
    if (SUCCEEDED(taskDialog(&config, &button, nullptr, nullptr))) return;
  }
  const std::wstring text = PlainBoxText(request.text, request.details);
  if (shown) shown({false, text, {}});
  MessageBoxW(owner, text.c_str(), caption.c_str(),
              MB_OK | (request.exclamation ? MB_ICONEXCLAMATION : 0));
}

}  // namespace torv2::win32
