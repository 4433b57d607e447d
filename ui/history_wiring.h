#pragma once
// The desktop program's history: `--history PATH` and `--no-history` on its command line, and
// what keeps each status check and upgrade attempt of the window. The programmer is named as the
// command line names it: by its serial number, else by its port.

#include <QStringList>
#include <memory>

#include "upgrade/attempt.h"

namespace torv2::link {
class LibusbTransport;
}

namespace torv2::ui {

// Null when the arguments ask for no history or there is no place for it. `usb` (may be null)
// names the programmer at the end of each attempt; it must outlive the observer.
std::unique_ptr<upgrade::AttemptObserver> KeepHistory(const QStringList& arguments,
                                                      link::LibusbTransport* usb);

}  // namespace torv2::ui
