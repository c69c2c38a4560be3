#include "tools/ampkey/smc_tool.h"

#include <gtest/gtest.h>

#include <sstream>

#include "control/fake_smc_access.h"

namespace ampervale {
namespace {

using NativeBackendTool::Arguments;

const char kHelp[] =
    "Ampervale native backend 1.0.0 \xC2\xB7 ampkey\n"
    "Usage: ampkey -k KEY [-r | -w HEX]\n"
    "Read an SMC key, or write a supported ACLC LED value.\n";
const char kOnlyLED[] =
    "Only documented one-byte ACLC LED writes are supported";
const char kDenied[] = "Permission denied: use the Ampervale privileged helper";

TEST(SMCToolTest, ArgumentRulesInTheirOrder) {
  static const struct {
    Arguments arguments;
    uid_t uid;
    const char* out;
    const char* error;
    const char* written = "";
  } cases[] = {
      {{}, 501, kHelp, ""},
      {{"-k", "ACLC", "-h"}, 501, kHelp, ""},
      {{"-k", "ACLC", "-x"}, 0, "", "Invalid ampkey arguments"},
      {{"-k"}, 0, "", "Missing -k KEY"},
      {{"-w", "04"}, 0, "", "Missing -k KEY"},
      {{"--version", "-k", "ACLC"}, 0, "", "Invalid ampkey arguments"},
      {{"-k", "ACLC", "-w"}, 0, "", kOnlyLED},
      {{"-k", "ACLC", "-w", "02"}, 0, "", kOnlyLED},
      {{"-k", "aclc", "-w", "04"}, 0, "", kOnlyLED},
      {{"-k", "ACLC", "-w", "100"}, 0, "", kOnlyLED},
      {{"-k", "ACLC", "-w", "-1"}, 0, "", kOnlyLED},
      {{"-k", "ACLC", "-w", "04x"}, 0, "", kOnlyLED},
      {{"-k", "ACLC", "-w", "04", "-r"}, 0, "", kOnlyLED},
      {{"-k", "ACLC", "-r", "-r"}, 0, "", "Invalid ampkey arguments"},
      {{"-r", "-k", "ACLC"}, 0, "", "Invalid ampkey arguments"},
      {{"-w", "04", "-k", "ACLC"}, 0, "", kOnlyLED},
      {{"-k", "ACLC", "-w", "02"}, 501, "", kOnlyLED},
      {{"-k", "ACLC", "-w", "03"}, 501, "", kDenied},
      // The documented LED bytes, however they are spelt.
      {{"-k", "ACLC", "-w", "+0004"}, 0, "", "", "ACLC 04"},
      {{"-k", "ACLC", "-w", "-0"}, 0, "", "", "ACLC 00"},
      {{"-k", "ACLC", "-w", "3"}, 0, "", "", "ACLC 03"},
      {{"-k", "ACLC", "-w", "07"}, 0, "", "", "ACLC 07"},
      {{"-k", "ACLC", "-w", "25"}, 0, "", "", "ACLC 25"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    auto smc = std::make_shared<FakeSMCAccess>(KeysFromText("ACLC 00"));
    std::shared_ptr<NativeSMCAccess> opened;  // set when the tool opens it
    std::ostringstream out;
    SMCToolContext context{out, c.uid, [&] { return opened = smc; }};
    EXPECT_EQ(c.error, ControlErrorOf([&] {
                NativeBackendTool::runSMCTool(c.arguments, context);
              }));
    EXPECT_EQ(c.out, out.str());
    // Only a write needs the SMC here.
    EXPECT_EQ(*c.written != 0, opened != nullptr);
    EXPECT_EQ(c.written, smc->writtenText());
  }
}

}  // namespace
}  // namespace ampervale
