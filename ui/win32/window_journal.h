#pragma once
// Test builds only (TORV2_WIN32_UI_TESTS): the main window, made and run as the program makes and
// runs it, with a journal of what it shows, for the window tests. The journal looks on from
// outside the dialog: the controller talks to a view that writes down each call and hands it on
// to the dialog, the progress bar reports its paints, and the result dialog is read once it is up.
//
// One line a thing shown, written on the GUI thread:
//   title TEXT, upgrade-version TEXT, current-version TEXT, button on, button off
//   message TEXT, message closed (once the box has been dismissed)
//   message-box task-dialog, then message-details LINE/LINE (its expanded information, when it
//   has any), once the task dialog is up; message-box plain TEXT/LINE/... for a plain message
//   box (its whole text, the blank line before the details included)
//   result MAIN | SUB | SOCKET TABLE (its lines joined by '/') | UPGRADE | CURRENT, result closed
//   font ID FACE HEIGHT WEIGHT charset N, for each line of the result dialog once it is up
//   bar POSITION FILLED TEXT, for every paint of the progress bar (TEXT empty while it shows none)
//   close (the window is told to end: the close box, or a completed job)
//   end (the loop has ended and every worker with it; only the window is left to take down)

#include <windows.h>

#include <functional>
#include <string_view>

#include "link/usb_transport.h"
#include "window/window_controller.h"

namespace torv2::win32 {

using JournalLine = std::function<void(std::string_view line)>;

// Runs the program's window over `transport` until it ends, telling `write` what it shows. The
// device notifications are the system's unless `options` brings a registration. Returns what the
// dialog's DoModal returned.
// `plainBoxes`: message boxes as where comctl32 has no task dialog.
INT_PTR RunJournaledWindow(link::UsbTransport& transport, window::WindowOptions options,
                           JournalLine write, bool plainBoxes = false);

}  // namespace torv2::win32
