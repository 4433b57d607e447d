#pragma once
// Why a task failed: the step of the exchange it was at, and what happened there (with the
// transfer status underneath). The window logs it; the command line prints it under the message.

#include <optional>
#include <string>
#include <string_view>

#include "link/failure.h"

namespace torv2::upgrade {

enum class ExchangeStep {
  Opening,         // finding and opening the programmer
  StatusQuery,     // "CurrentStatus"
  VersionQuery,    // "VersionRead:"
  WriteCommand,    // "WriteFirmware:"
  SizeRecord,      // the size record before a download
  Chunk,           // a downloaded chunk (number from 1)
  ReadCommand,     // "ReadFirmware:"
  ReadSizeRecord,  // the size record before a read-back
  ReadBackChunk,   // a chunk of the main image read back (number from 1)
  SubBlock,        // a block of the sub image read back (number from 1)
  SocketStatus,    // the eight socket states after the sub image read-back
  FinalVerdict,    // the device's verdict on the sub image
};

enum class ImageKind { Main, Sub };

struct StepAt {
  ExchangeStep step = ExchangeStep::Opening;
  ImageKind image = ImageKind::Main;
  int number = 0;  // the chunk or block, from 1; 0 where the step has none
};

struct Cause {
  StepAt at;                      // where the first failure was met
  link::ExchangeFailure failure;  // what happened there
  // Where the job stopped, when that came after the first failure (a main image that failed
  // without stopping the job, then a later step that did).
  std::optional<StepAt> stoppedAt;
};

// "main chunk 2", "sub block 1", "main read-back size record", "status query".
std::string DescribeStep(const StepAt& at);
// The step without its number, for machines: "main chunk", "sub block", "status query".
std::string StepKey(const StepAt& at);
// "main chunk 2: time-out after 6000 ms (transfer: timed out)", "sub block 1: refused
// (\"Error\")" (a transfer that went through is not mentioned); for an open, "opening the
// programmer: access denied"; with "; the job stopped at sub write command" when it went on.
std::string DescribeCause(const Cause& cause);

}  // namespace torv2::upgrade
