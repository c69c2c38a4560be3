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

// What `read` gives, written again by `encode`; or why it failed.
template <typename Read, typename Encode>
std::string Meaning(Read read, Encode encode) {
  try {
    return encode(read());
  } catch (const JsonRecordError&) {
    return "undecodable";
  } catch (const NativeControlError& error) {
    return "invalid: " + error.description();
  }
}

std::string EncodeValid(const NativePowerPolicy& policy) {
  policy.validate();
  return EncodePolicy(policy);
}

std::string Policy(const std::string& text) {
  return Meaning([&] { return DecodePolicy(text); }, EncodeValid);
}

std::string Health(const std::string& text) {
  return Meaning([&] { return DecodeHealth(text); }, EncodeHealth);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::MemoryDirectory scratch;
  static NativePowerStore store(scratch.path / "run");
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const auto meaning : {Policy, Health}) {
    const std::string decoded = meaning(text);
    fuzz::Require(text.find('\0') == text.npos || decoded == "undecodable",
                  "a document with a NUL byte accepted");
    fuzz::Require(!decoded.starts_with('{') || meaning(decoded) == decoded,
                  "a document changed by encoding");
  }
  testing::WriteFile(store.directory() / "policy.json", text);
  fuzz::Require(
      Meaning([&] { return store.loadPolicy(); }, EncodeValid) == Policy(text),
      "the store reads the file otherwise than the decoder");
  return 0;
}
