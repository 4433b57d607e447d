#include "upgrade/cause.h"

namespace torv2::upgrade {

std::string StepKey(const StepAt& at) {
  const std::string image = at.image == ImageKind::Main ? "main" : "sub";
  switch (at.step) {
    case ExchangeStep::Opening:
      return "opening the programmer";
    case ExchangeStep::StatusQuery:
      return "status query";
    case ExchangeStep::VersionQuery:
      return "version query";
    case ExchangeStep::WriteCommand:
      return image + " write command";
    case ExchangeStep::SizeRecord:
      return image + " size record";
    case ExchangeStep::Chunk:
      return image + " chunk";
    case ExchangeStep::ReadCommand:
      return image + " read-back command";
    case ExchangeStep::ReadSizeRecord:
      return image + " read-back size record";
    case ExchangeStep::ReadBackChunk:
      return image + " read-back chunk";
    case ExchangeStep::SubBlock:
      return "sub block";
    case ExchangeStep::SocketStatus:
      return "socket status";
    case ExchangeStep::FinalVerdict:
      return "final verdict";
  }
  return "exchange";
}

std::string DescribeStep(const StepAt& at) {
  std::string text = StepKey(at);
  if (at.number > 0) text += " " + std::to_string(at.number);
  return text;
}

std::string DescribeCause(const Cause& cause) {
  const link::ExchangeFailure& f = cause.failure;
  std::string text = DescribeStep(cause.at) + ": " + link::DescribeHappened(f);
  // The transfer's status, where it says more than what happened: a transfer that went through
  // ("ok") under a refusal or junk adds nothing.
  if (cause.at.step != ExchangeStep::Opening && f.what != link::Happened::ReadBackDiffers &&
      f.transfer != link::TransferStatus::Ok) {
    text += " (transfer: " + std::string(link::TransferStatusName(f.transfer)) + ")";
  }
  if (cause.stoppedAt) text += "; the job stopped at " + DescribeStep(*cause.stoppedAt);
  return text;
}

}  // namespace torv2::upgrade
