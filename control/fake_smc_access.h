#ifndef AMPERVALE_CONTROL_FAKE_SMC_ACCESS_H_
#define AMPERVALE_CONTROL_FAKE_SMC_ACCESS_H_

// Test support only: compiled into the test binary, never into the programs.

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "control/power_controller.h"
#include "smc/smc_transport.h"

namespace ampervale {

// An in-memory SMC behind the controller's access interface. It holds a key
// table (a key's width is the size of its bytes), logs every operation in
// the order it was asked for, and fails reads and writes on demand with the
// same texts the real transport uses.
//
//   FakeMachine machine(NativePowerController::Mode::firmware, "bfF0 02");
//   machine.controller.applyLimit(80, std::nullopt);
//   EXPECT_EQ("bfF0 00, bfD0 50 00 00 00, ...", machine.smc->writtenText());
//
// Log entries are "read KEY" and "write KEY 50 00 00 00" (the bytes asked
// for, lower-case hex). Every attempt is logged, failed ones included. A
// write's verifying read-back belongs to the write and is not logged.
class FakeSMCAccess : public NativeSMCAccess {
 public:
  using KeyTable = std::map<std::string, std::vector<uint8_t>>;

  FakeSMCAccess() = default;
  explicit FakeSMCAccess(KeyTable keys) : keys_(std::move(keys)) {}

  // The key table. Changing it is not logged.
  void set(const std::string& key, std::vector<uint8_t> bytes);
  const KeyTable& keys() const { return keys_; }

  // Faults last for the fake's life; a later one for the same key and
  // operation replaces the earlier.
  // Reads of `key` throw (a NativeControlError with `description`, or
  // `error`); the key is unchanged.
  void failRead(const std::string& key, std::string description);
  void failRead(const std::string& key, std::exception_ptr error);
  // Writes of `key` throw a NativeControlError with `description` before
  // anything changes.
  void failWrite(const std::string& key, std::string description);
  // Writes of `key` are accepted but do not stick: the key keeps its bytes
  // and the write throws "SMC write verification failed for KEY".
  void dropWrites(const std::string& key);

  const std::vector<std::string>& log() const { return log_; }
  // The writes of the log in KeysFromText's notation: "bfF0 00, bfD0 50 00
  // 00 00".
  std::string writtenText() const;
  void clearLog() { log_.clear(); }

  // A missing key fails like an SMC that does not know it (MissingKeyText);
  // a write whose byte count differs from the key's width fails with "SMC
  // payload width mismatch for KEY" and changes nothing.
  std::vector<uint8_t> read(const std::string& key) override;
  void write(const std::string& key,
             const std::vector<uint8_t>& bytes) override;

 private:
  const std::vector<uint8_t>& existing(const std::string& key) const;

  KeyTable keys_;
  std::map<std::string, std::exception_ptr> readFaults_;
  std::map<std::string, std::exception_ptr> writeFaults_;
  std::set<std::string> droppedWrites_;
  std::vector<std::string> log_;
};

// The transport's text for a key the SMC does not know: the key-information
// exchange comes back with SMC result 132.
// "SMC KEY command 9: request failed (IOKit 0x00000000, SMC 132)".
std::string MissingKeyText(std::string_view key);

// The keys of a typical machine in `mode`, charging normally: firmware
// bfF0 00, bfD0 64 00 00 00, bfE0 63 00 00 00; legacyPair CH0B 00, CH0C 00;
// legacySingle CHTE 00 00 00 00; unsupported no charge keys. Plus
// `adapterKey` holding 00 (enabled) unless it is empty, and ACLC 00.
FakeSMCAccess::KeyTable FakeMachineKeys(NativePowerController::Mode mode,
                                        std::string_view adapterKey = "CHIE");

// A key table written like the log: "bfF0 02, bfD0 50 00 00 00".
FakeSMCAccess::KeyTable KeysFromText(std::string_view text);

// A controller probed over FakeMachineKeys(mode, adapterKey), after which
// the keys are given the values of `changes` (KeysFromText) and the log is
// cleared.
struct FakeMachine {
  explicit FakeMachine(NativePowerController::Mode mode,
                       std::string_view changes = "",
                       std::string_view adapterKey = "CHIE");

  std::shared_ptr<FakeSMCAccess> smc;
  NativePowerController controller;
};

// The description of the NativeControlError that `operation` throws, or ""
// when it returns. Other exceptions pass through.
std::string ControlErrorOf(const std::function<void()>& operation);

}  // namespace ampervale

#endif  // AMPERVALE_CONTROL_FAKE_SMC_ACCESS_H_
