// Policy and heartbeat documents. Decoding throws only JsonRecordError; a
// document holding a NUL byte is never accepted (JSON text has none); what
// decodes round-trips through the encoder; and the store reads a policy file
// exactly as the decoder reads the file's bytes.

#include "common/native_control_error.h"
#include "store/json_record.h"
#include "store/power_store.h"
#include "store/test_support.h"
#include "tests/fuzz/fuzz_support.h"

using namespace ampervale;

namespace {

// The policy that `read` gives once validated, encoded; or why it failed.
template <typename Read>
std::string Meaning(Read read) {
  try {
    NativePowerPolicy policy = read();
    policy.validate();
    return EncodePolicy(policy);
  } catch (const JsonRecordError&) {
    return "undecodable";
  } catch (const NativeControlError& error) {
    return "invalid: " + error.description();
  }
}

void CheckHeartbeat(const std::string& text) {
  NativeDaemonHealth health;
  try {
    health = DecodeHealth(text);
  } catch (const JsonRecordError&) {
    return;
  }
  fuzz::Require(text.find('\0') == text.npos, "heartbeat with a NUL byte");
  fuzz::Require(DecodeHealth(EncodeHealth(health)) == health,
                "heartbeat changed by encoding");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::MemoryDirectory scratch;
  static NativePowerStore store(scratch.path() / "run");
  const std::string text(reinterpret_cast<const char*>(data), size);

  const std::string decoded = Meaning([&] { return DecodePolicy(text); });
  fuzz::Require(text.find('\0') == text.npos || decoded == "undecodable",
                "policy with a NUL byte accepted");
  if (decoded.starts_with('{')) {
    fuzz::Require(Meaning([&] { return DecodePolicy(decoded); }) == decoded,
                  "policy changed by encoding");
  }
  testing::WriteFile(store.directory() / "policy.json", text);
  fuzz::Require(Meaning([&] { return store.loadPolicy(); }) == decoded,
                "the store reads the file otherwise than the decoder");
  CheckHeartbeat(text);
  return 0;
}
