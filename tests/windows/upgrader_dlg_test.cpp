// The main window with its own loop over the in-process virtual programmer: removal and arrival
// of the programmer's interface, sent as the system sends them to the window's registration,
// switch the title and the Update button, events of other kinds of device change nothing, device
// events while a message box is open, a device that keeps answering '-', and what the bar paints
// during a whole upgrade. The tests follow the window through its journal (window_journal.h).
#include <gtest/gtest.h>
#include <windows.h>

#include <dbt.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "emulator/inprocess_transport.h"
#include "link/winusb/interface_notification.h"
#include "link/winusb/winusb_transport.h"
#include "tests/support/progress_script.h"
#include "ui/win32/device_notification.h"
#include "ui/win32/window_journal.h"
#include "upgrade/embedded_images.h"
#include "win32/wide_text.h"

namespace {

using torv2::win32::Utf8FromWide;

const std::string kTitle = "ZARN TORV II Upgrader";
const std::string kConnected = "\u3000\u3000\u3000\u00A7 USB OK \u00A7";
const std::string kDisconnected = "\u3000\u00A7 USB UnConn \u00A7";

// The main window among the dialogs on the screen (a message box is a dialog too).
HWND MainWindow() {
  HWND found = nullptr;
  EnumWindows(
      [](HWND window, LPARAM result) {
        wchar_t title[64] = {};
        GetWindowTextW(window, title, 64);
        if (Utf8FromWide(title).rfind(kTitle, 0) != 0) return TRUE;
        *reinterpret_cast<HWND*>(result) = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

// The message-only window of the system's device notifications, which the system sends them to.
HWND DeviceWatcher() {
  return FindWindowExW(HWND_MESSAGE, nullptr, torv2::link::winusb::kNotificationWindowClass,
                       nullptr);
}

// Options with the system's device notifications that call `watching` once they are registered:
// at the end of the window's start-up, before it is first shown.
torv2::window::WindowOptions WhenWatching(std::function<void()> watching) {
  torv2::window::WindowOptions options;
  options.registerDeviceNotification = [watching = std::move(watching)](auto onEvent) {
    auto registration = torv2::win32::WatchProgrammers(std::move(onEvent));
    EXPECT_NE(registration, nullptr);
    watching();
    return registration;
  };
  return options;
}

bool StartsWith(const std::string& text, std::string_view prefix) {
  return text.rfind(prefix, 0) == 0;
}

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
    SendMessageW(DeviceWatcher(), WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(data));
  };
  // Connected after start-up. Other devices come and go; then the programmer goes.
  torv2::window::WindowOptions options = WhenWatching([&] {
    senders.emplace_back([&] {
      send(DBT_DEVICEREMOVECOMPLETE, &volume);
      send(DBT_DEVICEREMOVECOMPLETE, &other);
      transport.Unplug();
      send(DBT_DEVICEREMOVECOMPLETE, &programmer);
    });
  });
  auto onLine = [&](std::string_view line) {
    journal.emplace_back(line);
    if (line == "button off" && ++buttonsOff == 1) {
      // It comes back; an arrival of another device first.
      senders.emplace_back([&] {
        transport.Replug();
        send(DBT_DEVICEARRIVAL, &volume);
        send(DBT_DEVICEARRIVAL, &programmer);
      });
    } else if (line == "button on" && ++buttonsOn == 2) {
      PostMessageW(MainWindow(), WM_CLOSE, 0, 0);
    }
  };
  EXPECT_EQ(torv2::win32::RunJournaledWindow(transport, options, onLine), IDOK);
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

// An arrival with no programmer there: its version query shows "USB Device is not Ready, Ver!!".
// While that box is open the programmer goes and comes back. Before the window's core, the second
// arrival ran its query on the GUI thread inside the box's loop and locked the link a second time
// on the same thread: the window froze.
TEST(UpgraderDlg, DeviceEventsWhileAnArrivalsMessageBoxIsOpen) {
  static DEV_BROADCAST_DEVICEINTERFACE_W programmer = ProgrammerInterface();
  torv2::emulator::InProcessTransport transport;
  transport.Unplug();
  std::vector<std::string> journal;
  std::vector<std::thread> senders;
  auto send = [](WPARAM event) {
    SendMessageW(DeviceWatcher(), WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&programmer));
  };
  torv2::window::WindowOptions options =
      WhenWatching([&] { senders.emplace_back([&] { send(DBT_DEVICEARRIVAL); }); });
  auto onLine = [&](std::string_view line) {
    journal.emplace_back(line);
    if (line == "message USB Device is not Ready, Ver!!") {
      // The box is about to open; its loop delivers what is sent meanwhile.
      senders.emplace_back([&] {
        transport.Replug();
        send(DBT_DEVICEREMOVECOMPLETE);
        send(DBT_DEVICEARRIVAL);
        HWND box = nullptr;
        while ((box = FindWindowW(L"#32770", L"test_win32_progress")) == nullptr) Sleep(1);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
      });
    } else if (line == "button on") {
      PostMessageW(MainWindow(), WM_CLOSE, 0, 0);
    }
  };
  EXPECT_EQ(torv2::win32::RunJournaledWindow(transport, options, onLine), IDOK);
  for (auto& sender : senders) sender.join();

  EXPECT_EQ(std::count(journal.begin(), journal.end(), "message USB Device is not Ready, Ver!!"),
            1);
  std::vector<std::string> titles;
  for (const auto& line : journal) {
    if (StartsWith(line, "title ")) titles.push_back(line.substr(6));
  }
  EXPECT_EQ(titles, (std::vector<std::string>{kTitle + kDisconnected, kTitle + kDisconnected,
                                              kTitle + kConnected}));
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "current-version 2.07"), 1);
  EXPECT_EQ(journal.back(), "end");
}

// A programmer that keeps answering every command with '-': its version query never ends, but the
// window keeps taking messages and closes at once.
TEST(UpgraderDlg, ADeviceThatNeverAnswersOnArrivalLeavesTheWindowResponsive) {
  static DEV_BROADCAST_DEVICEINTERFACE_W programmer = ProgrammerInterface();
  torv2::emulator::InProcessTransport transport;
  transport.Unplug();
  std::thread sender;
  DWORD closedAt = 0;
  DWORD endedAt = 0;
  bool answered = false;
  torv2::window::WindowOptions options = WhenWatching([&] {
    sender = std::thread([&] {
      std::size_t sent = 0;  // what the host had written when the device fell silent
      transport.WithProgrammer([&](torv2::emulator::VirtualProgrammer& p) {
        p.faults().noAnswer = true;
        sent = p.hostBytes().size();
      });
      transport.Replug();
      SendMessageW(DeviceWatcher(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                   reinterpret_cast<LPARAM>(&programmer));
      transport.WaitUntil(
          [&](torv2::emulator::VirtualProgrammer& p) { return p.hostBytes().size() > sent; });
      DWORD_PTR result = 0;
      answered =
          SendMessageTimeoutW(MainWindow(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &result) != 0;
      closedAt = GetTickCount();
      PostMessageW(MainWindow(), WM_CLOSE, 0, 0);
    });
  });
  auto onLine = [&](std::string_view line) {
    // From the close box to the end of the window's loop, every thread joined.
    if (line == "close") closedAt = GetTickCount();
    if (line == "end") endedAt = GetTickCount();
  };
  EXPECT_EQ(torv2::win32::RunJournaledWindow(transport, options, onLine), IDOK);
  sender.join();
  EXPECT_TRUE(answered);
  ASSERT_NE(closedAt, 0u);
  EXPECT_LT(endedAt - closedAt, 1000u);
}

// What the bar paints during a whole upgrade: every state the job set, in order, up to the report.
TEST(UpgraderDlg, TheBarPaintsEveryProgressStateInOrder) {
  torv2::emulator::InProcessTransport transport;
  std::vector<std::string> painted;
  auto onLine = [&](std::string_view view) {
    const std::string line(view);
    if (line == "button on") {
      PostMessageW(MainWindow(), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    } else if (StartsWith(line, "font 1010 ")) {
      // The result dialog is made: close it, which ends the program.
      PostMessageW(FindWindowW(L"#32770", L"Result of Firmware Upgrade"), WM_COMMAND, IDOK, 0);
    } else if (StartsWith(line, "bar ")) {
      // "bar POSITION FILLED TEXT", the text "LABEL - PERCENT%" or empty.
      const auto positionEnd = line.find(' ', 4);
      const auto textStart = line.find(' ', positionEnd + 1) + 1;
      const std::string text = line.substr(textStart);
      if (text.empty()) return;
      torv2::testing::ProgressScript::Add(
          painted, text.substr(0, text.find(" - ")) + " " + line.substr(4, positionEnd - 4));
    }
  };
  EXPECT_EQ(torv2::win32::RunJournaledWindow(transport, {}, onLine), IDOK);

  const torv2::upgrade::CarriedImages images =
      torv2::upgrade::LoadCarriedImages(torv2::upgrade::ExecutablePath(), nullptr);
  const std::vector<std::string> expected =
      torv2::testing::UpToTheReport(torv2::testing::UpgradeProgressStates(images.main, images.sub));
  ASSERT_GT(expected.size(), 100u);
  EXPECT_EQ(torv2::testing::UpToTheReport(painted), expected);
}

}  // namespace
