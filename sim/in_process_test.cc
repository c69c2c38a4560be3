#include "sim/in_process.h"

#include <gtest/gtest.h>

#include "common/native_control_error.h"
#include "sim/hex.h"

namespace ampervale::sim {
namespace {

std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const NativeControlError& error) {
    return error.description();
  }
  return "no error";
}

Fault MakeFault(FaultKind kind, const std::string& key,
                std::optional<uint8_t> command = std::nullopt) {
  Fault fault;
  fault.kind = kind;
  fault.key = key;
  fault.command = command;
  return fault;
}

TEST(InProcessExchangeTest, ReadsAndVerifiedWrites) {
  SMCModel model({{"ACLC", {0x03}}, {"bfD0", {0x50, 0, 0, 0}}});
  NativeSMCTransport transport(InProcessExchange(model));
  EXPECT_EQ("03", ToHex(transport.read("ACLC")));
  EXPECT_EQ("50000000", ToHex(transport.read("bfD0")));
  transport.write("ACLC", {0x04});
  EXPECT_EQ("04", ToHex(*model.Value("ACLC")));
  ASSERT_EQ(1u, model.writes().size());
  EXPECT_EQ("ACLC", model.writes()[0].key);
}

TEST(InProcessExchangeTest, FailuresReadAsTheTransportReportsThem) {
  Fault read_result = MakeFault(FaultKind::kReadResult, "ACLC", 5);
  read_result.result = 1;
  Fault zero_width = MakeFault(FaultKind::kWidth, "bfD0");
  static const struct {
    const char* name;
    Fault fault;
    std::function<void(NativeSMCTransport&)> action;
    std::string error;
  } cases[] = {
      {"unknown key", MakeFault(FaultKind::kNoBattery, ""),
       [](NativeSMCTransport& t) { t.read("XXXX"); },
       "SMC XXXX command 9: request failed (IOKit 0x00000000, SMC 132)"},
      {"read result", read_result,
       [](NativeSMCTransport& t) { t.read("ACLC"); },
       "SMC ACLC command 5: request failed (IOKit 0x00000000, SMC 1)"},
      {"kernel refusal", MakeFault(FaultKind::kNotPrivileged, "ACLC", 6),
       [](NativeSMCTransport& t) { t.write("ACLC", {0x04}); },
       "SMC ACLC command 6: permission denied by SMC (root access may be "
       "insufficient) (IOKit 0xe00002c1, SMC 0)"},
      {"dropped connection", MakeFault(FaultKind::kDisconnect, "ACLC", 5),
       [](NativeSMCTransport& t) { t.read("ACLC"); },
       "SMC ACLC command 5: request failed (IOKit 0xe00002ed, SMC 0)"},
      {"ignored write", MakeFault(FaultKind::kIgnoreWrite, "ACLC", 6),
       [](NativeSMCTransport& t) { t.write("ACLC", {0x04}); },
       "SMC write verification failed for ACLC"},
      {"width 0", zero_width, [](NativeSMCTransport& t) { t.read("bfD0"); },
       "SMC key bfD0 has no usable data; this firmware may be unsupported"},
      {"width mismatch", MakeFault(FaultKind::kNoBattery, ""),
       [](NativeSMCTransport& t) {
         t.write("ACLC", {0x04, 0x00});
       },
       "SMC payload width mismatch for ACLC"},
  };
  for (const auto& c : cases) {
    SMCModel model({{"ACLC", {0x03}}, {"bfD0", {0x50, 0, 0, 0}}});
    model.faults().Add(c.fault);
    NativeSMCTransport transport(InProcessExchange(model));
    EXPECT_EQ(c.error, ErrorOf([&] { c.action(transport); })) << c.name;
    if (c.fault.kind != FaultKind::kIgnoreWrite) {
      EXPECT_TRUE(model.writes().empty()) << c.name;
    }
  }
}

}  // namespace
}  // namespace ampervale::sim
