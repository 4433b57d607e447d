#include "ui/history_wiring.h"

#include <QCommandLineParser>

#include "history/history_path.h"
#include "history/window_history.h"
#include "link/libusb/libusb_transport.h"
#include "link/programmer_name.h"
#include "link/usb_link.h"

namespace torv2::ui {
namespace {

// The first programmer the transport would open, named like the command line's `list`.
history::ProgrammerIdentity FirstProgrammer(link::LibusbTransport& usb) {
  const auto found = usb.List(link::DeviceInterfaceGuid, link::kControlRequestTimeout);
  if (found.empty()) return {};
  const link::AttachedProgrammer& p = found.front();
  const std::string address = p.address.ToString();
  return {link::ProgrammerName(p.serialNumber, link::PortName(p.address.bus, p.portPath), address),
          address};
}

}  // namespace

std::unique_ptr<upgrade::AttemptObserver> KeepHistory(const QStringList& arguments,
                                                      link::LibusbTransport* usb) {
  QCommandLineParser parser;
  const QCommandLineOption path(QStringLiteral("history"), QStringLiteral("The history file"),
                                QStringLiteral("PATH"));
  const QCommandLineOption off(QStringLiteral("no-history"),
                               QStringLiteral("Keep no history of this run"));
  parser.addOption(path);
  parser.addOption(off);
  parser.parse(arguments);  // anything else is left to the rest of the program
  if (parser.isSet(off)) return nullptr;
  const std::filesystem::path file = parser.isSet(path)
                                         ? std::filesystem::path(parser.value(path).toStdString())
                                         : history::DefaultHistoryPath();
  if (file.empty()) return nullptr;
  std::function<history::ProgrammerIdentity()> identity;
  if (usb) identity = [usb] { return FirstProgrammer(*usb); };
  return history::KeepWindowHistory(file, std::move(identity));
}

}  // namespace torv2::ui
