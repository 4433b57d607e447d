// The main window's device events, with the window running its own loop over the in-process
// virtual programmer: removal and arrival of the programmer's interface switch the title and the
// Update button; events of other kinds of device change nothing.
#include <gtest/gtest.h>
#include <windows.h>

#include <dbt.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "emulator/inprocess_transport.h"
#include "link/winusb/winusb_transport.h"
#include "ui/win32/upgrader_app.h"
#include "ui/win32/upgrader_dlg.h"
#include "win32/wide_text.h"

namespace {

using torv2::win32::Utf8FromWide;

const std::string kTitle = "ZARN TORV II Upgrader";
const std::string kConnected = Utf8FromWide(torv2::win32::kTitleConnected);
const std::string kDisconnected = Utf8FromWide(torv2::win32::kTitleDisconnected);

// Device events as the system sends them; they must outlive the posted messages.
DEV_BROADCAST_DEVICEINTERFACE_W ProgrammerInterface() {
  DEV_BROADCAST_DEVICEINTERFACE_W event{};
  event.dbcc_size = sizeof event;
  event.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  event.dbcc_classguid = torv2::link::winusb::ToWindowsGuid(torv2::link::DeviceInterfaceGuid);
  return event;
}
DEV_BROADCAST_DEVICEINTERFACE_W OtherInterface() {
  DEV_BROADCAST_DEVICEINTERFACE_W event = ProgrammerInterface();
  event.dbcc_classguid.Data1 ^= 1;
  return event;
}
DEV_BROADCAST_VOLUME Volume() {
  DEV_BROADCAST_VOLUME event{};
  event.dbcv_size = sizeof event;
  event.dbcv_devicetype = DBT_DEVTYP_VOLUME;
  event.dbcv_unitmask = 1 << 4;  // drive E:
  return event;
}

TEST(UpgraderDlg, FollowsTheProgrammersRemovalAndArrivalOnly) {
  static DEV_BROADCAST_DEVICEINTERFACE_W programmer = ProgrammerInterface();
  static DEV_BROADCAST_DEVICEINTERFACE_W other = OtherInterface();
  static DEV_BROADCAST_VOLUME volume = Volume();

  torv2::emulator::InProcessTransport transport;
  std::vector<std::string> journal;
  int buttonsOn = 0;
  int buttonsOff = 0;
  // Device events carry a pointer, so they are sent, never posted; from threads of their own, as
  // the system's come from outside the window's thread.
  std::vector<std::thread> senders;
  auto send = [](WPARAM event, const void* data) {
    HWND dialog = FindWindowW(L"#32770", nullptr);
    SendMessageW(dialog, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(data));
  };
  torv2::win32::UpgraderDlgOptions options;
  options.journal = [&](std::string_view line) {
    journal.emplace_back(line);
    if (line == "button on" && ++buttonsOn == 1) {
      // Connected after start-up. Other devices come and go; then the programmer goes.
      senders.emplace_back([&] {
        send(DBT_DEVICEREMOVECOMPLETE, &volume);
        send(DBT_DEVICEREMOVECOMPLETE, &other);
        transport.Unplug();
        send(DBT_DEVICEREMOVECOMPLETE, &programmer);
      });
    } else if (line == "button off" && ++buttonsOff == 1) {
      // It comes back; an arrival of another device first.
      senders.emplace_back([&] {
        transport.Replug();
        send(DBT_DEVICEARRIVAL, &volume);
        send(DBT_DEVICEARRIVAL, &programmer);
      });
    } else if (line == "button on" && buttonsOn == 2) {
      PostMessageW(FindWindowW(L"#32770", nullptr), WM_CLOSE, 0, 0);
    }
  };
  CZARN_TORV2_UpgraderApp app;
  EXPECT_EQ(app.InitInstance(transport, options), FALSE);
  for (auto& sender : senders) sender.join();

  std::vector<std::string> titles;
  for (const auto& line : journal) {
    if (line.rfind("title ", 0) == 0) titles.push_back(line.substr(6));
  }
  EXPECT_EQ(titles, (std::vector<std::string>{kTitle + kConnected, kTitle + kDisconnected,
                                              kTitle + kConnected}));
  EXPECT_EQ(buttonsOn, 2);
  EXPECT_EQ(buttonsOff, 1);
  // The arrival read the version again; the window closed through the close box.
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "current-version 2.07"), 2);
  ASSERT_GE(journal.size(), 2u);
  EXPECT_EQ(journal[journal.size() - 2], "close");
  EXPECT_EQ(journal.back(), "end");
}

}  // namespace
